// CClearApp: the program's entry and exit. It runs the main dialog modally;
// when the dialog ends, the program ends.
#pragma once

#include "clear_dialog_qt.h"
#include "clear_dlg.h"
#include "line_port.h"
#include "poll_thread.h"

namespace korvanel {

// While a network port connects: paints, timers and posted events go on,
// user input waits, so no second press re-enters the button handler.
bool KeepPainting();

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
        port.setWaitHook(KeepPainting);
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
