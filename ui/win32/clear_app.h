// CClearApp: the Windows program's application object. Its InitInstance
// runs the main dialog (template 102) modally and then lets the process
// end; the dialog's window procedure hands every message to CClearDlg's
// message map and keeps the dialog defaults for the rest.
#pragma once

#include <windows.h>

namespace korvanel {

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
