#include <QApplication>

#include "clear_app.h"
#include "process_setup.h"

namespace {

// The one application object, as the program has always had it.
korvanel::CClearApp theApp;

} // namespace

int main(int argc, char** argv)
{
    // Before Qt opens anything: a closed stdout must not become the port.
    if (!korvanel::OpenMissingStandardDescriptors())
        return 1;
    QApplication qapp(argc, argv);
    qapp.setWindowIcon(korvanel::ApplicationIcon());
    theApp.InitInstance();
    return 0;
}
