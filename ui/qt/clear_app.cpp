#include "clear_app.h"

#include <QCoreApplication>

namespace korvanel {

void KeepPainting()
{
    QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
}

bool CClearApp::InitInstance()
{
    MainDialog main;
    main.window.RunModal();
    // A run still going is not stopped: the process ends now, and the port
    // closes with it.
    return false;
}

} // namespace korvanel
