// korvanel-clear: the dialog's Clear run from a terminal or a script.
#include <iostream>
#include <string>
#include <vector>

#include "clear_options.h"
#include "clear_session.h"
#include "command_line.h"
#include "korvanel_version.h"
#include "process_setup.h"
#include "progress.h"
#include "serial_port.h"

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
    case ClearOptions::Action::Help: std::cout << korvanel::ClearUsageText(); return 0;
    case ClearOptions::Action::Version:
        std::cout << "korvanel-clear " << KORVANEL_VERSION << '\n';
        return 0;
    case ClearOptions::Action::ListPorts:
        for (const std::string& port : korvanel::SerialPort::ListPorts())
            std::cout << port << '\n';
        return 0;
    case ClearOptions::Action::Run: break;
    }

    // Ctrl-C, kill, a closed terminal and every other signal that ends a
    // process give the port back in the signal handler and end there with
    // 128 + n, whatever the main thread is blocked in.
    korvanel::EndProcessOnStopSignals();

    korvanel::ClearSessionIo io{std::cout,
                                std::cerr,
                                start,
                                korvanel::SteadySessionClock(),
                                korvanel::StandardErrorIsTerminal(),
                                korvanel::StandardErrorColumns};
    return korvanel::RunClearSession(options, io);
}
