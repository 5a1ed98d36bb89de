// CClearApp: the program's entry and exit. It runs the main dialog modally;
// when the dialog ends, the program ends.
#pragma once

#include "clear_dialog_qt.h"
#include "clear_dlg.h"
#include "line_port.h"
#include "poll_thread.h"

namespace korvanel {

// The main dialog with the real port and poll thread. Members are declared
// so that the poll thread is joined before the window it posts to goes.
struct MainDialog {
    LinePort port;
    QtClearDialog window;
    PollThread pacer;
    CClearDlg dlg{window, port, pacer, TheClearRun()};

    MainDialog()
    {
        window.attach(&dlg);
        // A network open's waits go through the dialog: it shows the connect
        // and a press or the close box cancels it.
        port.setWaitHook([this] { return dlg.OnConnectWait(); });
    }
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
