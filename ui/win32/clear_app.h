// CClearApp: the Windows program's application object. Its InitInstance
// runs the main dialog (template 102) modally and then lets the process
// end; the dialog's window procedure hands every message to CClearDlg's
// message map and keeps the dialog defaults for the rest.
#pragma once

#include <windows.h>

#include "clear_dlg.h"
#include "poll_thread.h"
#include "port_factory.h"
#include "win32_dialog_window.h"

namespace korvanel {

// Everything the main dialog needs, alive for exactly one modal run.
// Members are destroyed in the reverse of this order: the dialog logic,
// then the pacer, whose thread posts ticks to the window object and so must
// stop before it, then the port and the window.
struct MainDialog {
    explicit MainDialog(HINSTANCE instance)
        : window(instance), dlg(window, ports, pacer, TheClearRun())
    {}

    Win32DialogWindow window;
    // A network open's waits go through the dialog: it shows the connect
    // and a press or the close box cancels it.
    MadePorts ports{[this] { return dlg.OnConnectWait(); }};
    PollThread pacer;
    CClearDlg dlg;
};

// The main dialog's procedure; the creation parameter is its MainDialog.
// Every message goes through CClearDlg's message map first, then to the
// dialog defaults.
INT_PTR CALLBACK MainDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

class CClearApp {
public:
    CClearApp() = default;

    // Start-up, in order: controls support, 3-D controls, the main dialog
    // run modally (its result is not used). False: the program ends without
    // a message loop of its own.
    bool InitInstance(HINSTANCE instance);
};

// The one application object, made during static initialisation.
extern CClearApp theApp;

} // namespace korvanel
