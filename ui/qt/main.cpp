#include <QApplication>
#include <cstring>
#include <iostream>

#include "clear_app.h"
#include "korvanel_version.h"
#include "process_setup.h"

namespace {

// The one application object, as the program has always had it.
korvanel::CClearApp theApp;

// Answered before Qt starts, so they work without a display.
const char* const USAGE_TEXT =
    "Usage: korvanel [--help | --version]\n"
    "\n"
    "The Korvanel dialog: name the serial port and the inverter's address,\n"
    "press Clear, and it writes 0 to register 0x004A over Modbus RTU.\n"
    "\n"
    "  --help     print this help\n"
    "  --version  print the version\n";

} // namespace

int main(int argc, char** argv)
{
    // Before Qt opens anything: a closed stdout must not become the port.
    if (!korvanel::OpenMissingStandardDescriptors())
        return 1;
    // A kill or a closed terminal gives the port back before the end.
    korvanel::EndProcessOnStopSignals();
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::cout << "korvanel " << KORVANEL_VERSION << '\n';
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::cout << USAGE_TEXT;
        return 0;
    }
    QApplication qapp(argc, argv);
    qapp.setWindowIcon(korvanel::ApplicationIcon());
    theApp.InitInstance();
    return 0;
}
