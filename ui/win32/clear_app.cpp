#include "clear_app.h"

#include <commctrl.h>

#include "resource.h"

namespace korvanel {

CClearApp theApp;

INT_PTR CALLBACK MainDialogProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_INITDIALOG) {
        auto* main = reinterpret_cast<MainDialog*>(lParam);
        ::SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(main));
        main->window.attach(hwnd);
        CentreIfTemplateAtOrigin(hwnd, IDD_MAIN);
        // True: the dialog manager gives the focus to the first tab stop,
        // the port field.
        return main->dlg.OnInitDialog() ? TRUE : FALSE;
    }
    auto* main = reinterpret_cast<MainDialog*>(::GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (!main)
        return FALSE;

    DialogMessage msg;
    msg.message = message;
    msg.wParam = static_cast<std::uintptr_t>(wParam);
    msg.lParam = static_cast<std::intptr_t>(lParam);
    // F1 reaches the dialog as WM_HELP (the focused control passes it up);
    // it is the Help command, as the framework's dialogs turn it into.
    if (message == WM_HELP)
        msg = CommandMessage(ID_HELP, BN_CLICKED);
    switch (main->dlg.Dispatch(msg)) {
    case MessageResult::Handled: return TRUE;
    case MessageResult::DragIcon:
        // WM_QUERYDRAGICON is answered by the procedure's own return value;
        // the message result is set too, for dialog managers that read it.
        ::SetWindowLongPtrA(hwnd, DWLP_MSGRESULT, reinterpret_cast<LONG_PTR>(main->window.icon()));
        return reinterpret_cast<INT_PTR>(main->window.icon());
    case MessageResult::Default: break;
    }

    // The dialog defaults: Enter is OK, which ends the dialog only when the
    // fields read back; Esc and the close box cancel.
    if (message == WM_COMMAND) {
        switch (LOWORD(wParam)) {
        case IDOK:
            if (main->dlg.OnOK()) {
                main->dlg.OnWindowClosing();
                ::EndDialog(hwnd, IDOK);
            }
            return TRUE;
        case IDCANCEL:
            // Inside a connect's wait this cancels the connect first; the
            // modal loop ends once the open has returned.
            main->dlg.OnWindowClosing();
            ::EndDialog(hwnd, IDCANCEL);
            return TRUE;
        }
    }
    return FALSE;
}

bool CClearApp::InitInstance(HINSTANCE instance)
{
    // Hosting controls in dialogs: the common control classes registered.
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES;
    ::InitCommonControlsEx(&controls);
    // 3-D controls: every Windows version from 4 on draws them itself, so
    // there is nothing to register.

    {
        MainDialog main(instance);
        ::DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, MainDialogProc,
                          reinterpret_cast<LPARAM>(&main));
        // Closing neither stops a run nor closes the port by itself; the
        // port and the poll thread end with these objects, just before the
        // process does.
    }
    return false;
}

} // namespace korvanel
