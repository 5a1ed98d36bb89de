#include "clear_app.h"

namespace korvanel {

bool CClearApp::InitInstance()
{
    MainDialog main;
    main.window.RunModal();
    // A run still going is not stopped: the process ends now, and the port
    // closes with it.
    return false;
}

} // namespace korvanel
