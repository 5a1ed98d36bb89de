// korvanel-clear: the dialog's Clear run from a terminal or a script.
#include <csignal>
#include <iostream>
#include <string>
#include <vector>

#include "clear_options.h"
#include "clear_session.h"
#include "command_line.h"
#include "process_setup.h"
#include "serial_port.h"
#include "korvanel_version.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int signal)
{
    g_interrupted = signal;
}

} // namespace

int main(int argc, char** argv)
{
    using korvanel::ClearOptions;
    const auto start = korvanel::ClearTrace::Clock::now();
    if (!korvanel::OpenMissingStandardDescriptors())
        return korvanel::EXIT_USAGE_OR_PORT;

    const std::vector<std::string> args(argv + 1, argv + argc);
    const korvanel::ParsedClearOptions parsed = korvanel::ParseClearOptions(args);
    if (!parsed.ok) {
        korvanel::PrintUsageError(std::cerr, "korvanel-clear", parsed.error);
        return korvanel::EXIT_USAGE_OR_PORT;
    }
    const ClearOptions& options = parsed.options;
    for (const std::string& note : parsed.notes)
        std::cerr << "korvanel-clear: " << note << '\n';
    switch (options.action) {
    case ClearOptions::Action::Help:
        std::cout << korvanel::ClearUsageText();
        return 0;
    case ClearOptions::Action::Version:
        std::cout << "korvanel-clear " << KORVANEL_VERSION << '\n';
        return 0;
    case ClearOptions::Action::ListPorts:
        for (const std::string& port : korvanel::SerialPort::ListPorts())
            std::cout << port << '\n';
        return 0;
    case ClearOptions::Action::Run:
        break;
    }

    // Ctrl-C, kill and a closed terminal only raise a flag: the session
    // sees it within one short wait, closes the port and ends with 130.
    korvanel::RouteStopSignals(OnInterrupt);

    korvanel::ClearSessionIo io{std::cout, std::cerr, [] { return g_interrupted != 0; }, start};
    const int status = korvanel::RunClearSession(options, io);
    // The shell's convention: 128 plus the signal (130 for Ctrl-C, 143 for
    // SIGTERM, 129 for a hang-up).
    if (status == korvanel::EXIT_INTERRUPTED && g_interrupted != SIGINT)
        return 128 + g_interrupted;
    return status;
}
