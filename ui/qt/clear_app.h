// CClearApp: the program's entry and exit. It runs the main dialog modally;
// when the dialog ends, the program ends.
#pragma once

#include "clear_dialog_qt.h"
#include "clear_dlg.h"
#include "poll_thread.h"
#include "port_factory.h"

namespace korvanel {

// The main dialog with the real port and poll thread. Members are declared
// so that the poll thread is joined before the window it posts to goes.
struct MainDialog {
    // A network open's waits go through the dialog: it shows the connect
    // and a press or the close box cancels it.
    MadePorts ports{[this] { return dlg.OnConnectWait(); }};
    QtClearDialog window;
    PollThread pacer;
    CClearDlg dlg{window, ports, pacer, TheClearRun()};

    MainDialog() { window.attach(&dlg); }
    ~MainDialog() { pacer.stop(); }
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;
};

class CClearApp {
public:
    // Runs the main dialog modally (its result is not used). Returns false:
    // there is no message loop of the application's own to enter.
    bool InitInstance();
};

} // namespace korvanel
