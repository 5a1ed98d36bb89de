// Drives the real Korvanel.exe as a user would, from another process:
// starts it, finds the dialog by its title, opens and closes the About
// box from the system menu, types a port name and an
// address, presses the button, waits for the message box that ends the
// attempt and checks its caption and text, dismisses it, checks the
// button's label and closes the dialog with Esc.
//
//   korvanel_gui_driver KORVANEL_EXE PORT ADDRESS CAPTION TEXT BUTTON_AFTER
//
// Prints what it saw, one line a step; exit status 0 when everything was
// as expected, 1 when not, 2 on a usage error. Every wait is bounded.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

const char* const kDialogTitle = "Korvanel V1.0";
const int kPortField = 1000;
const int kAddressField = 1001;
const int kRunButton = 1006;
const WPARAM kAboutCommand = 0x0010;
// The text of a message box is the static control 0xFFFF of its dialog.
const int kMessageBoxText = 0xFFFF;

struct BoxSearch {
    DWORD processId;
    const char* caption;
    HWND found;
};

std::string WindowText(HWND hwnd)
{
    char text[512] = {};
    // WM_GETTEXT is marshalled across processes; GetWindowText is not for
    // controls of another process.
    ::SendMessageTimeoutA(hwnd, WM_GETTEXT, sizeof text, reinterpret_cast<LPARAM>(text),
                          SMTO_ABORTIFHUNG, 2000, nullptr);
    return text;
}

// Any visible message box of the process, whatever its caption.
BOOL CALLBACK FindAnyBox(HWND hwnd, LPARAM param)
{
    auto* search = reinterpret_cast<BoxSearch*>(param);
    DWORD pid = 0;
    ::GetWindowThreadProcessId(hwnd, &pid);
    char className[64] = {};
    ::GetClassNameA(hwnd, className, sizeof className);
    const std::string text = pid == search->processId ? WindowText(hwnd) : std::string();
    // The About box may stay open underneath the box awaited.
    const bool openAbout = text == "About Korvanel" && text != search->caption;
    if (pid == search->processId && std::string(className) == "#32770" &&
        ::IsWindowVisible(hwnd) && text != kDialogTitle && !openAbout) {
        search->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForDialog(DWORD processId, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        HWND dialog = ::FindWindowA("#32770", kDialogTitle);
        if (dialog) {
            DWORD pid = 0;
            ::GetWindowThreadProcessId(dialog, &pid);
            if (pid == processId && ::IsWindowVisible(dialog))
                return dialog;
        }
        ::Sleep(100);
    }
    return nullptr;
}

// The first message box the process shows: found when its caption is
// `caption`; otherwise `otherSeen` tells what came instead.
HWND WaitForBox(DWORD processId, const char* caption, DWORD timeoutMs, std::string& otherSeen)
{
    for (DWORD waited = 0; waited < timeoutMs; waited += 100) {
        BoxSearch any{processId, caption, nullptr};
        ::EnumWindows(FindAnyBox, reinterpret_cast<LPARAM>(&any));
        if (any.found) {
            const std::string seen = WindowText(any.found);
            if (seen == caption)
                return any.found;
            otherSeen = seen + ": " + WindowText(::GetDlgItem(any.found, kMessageBoxText));
            ::PostMessageA(any.found, WM_COMMAND, IDOK, 0);
            return nullptr;
        }
        ::Sleep(100);
    }
    return nullptr;
}

bool Check(bool ok, const char* what, const std::string& seen)
{
    std::printf("%s %s: \"%s\"\n", ok ? "ok  " : "FAIL", what, seen.c_str());
    return ok;
}

// The system menu's About item opens the About box.
bool OpenAbout(HWND dialog, DWORD processId, HWND& about)
{
    ::PostMessageA(dialog, WM_SYSCOMMAND, kAboutCommand, 0);
    std::string otherBox;
    about = WaitForBox(processId, "About Korvanel", 10000, otherBox);
    return Check(about != nullptr, "About box from the system menu",
                 about ? "About Korvanel" : otherBox);
}

// OK ends the About box.
bool CloseAbout(HWND& about)
{
    ::PostMessageA(about, WM_COMMAND, IDOK, 0);
    for (int i = 0; i < 50 && ::IsWindow(about); ++i)
        ::Sleep(100);
    const bool closed = !::IsWindow(about);
    about = nullptr;
    return Check(closed, "About box closed by OK", "");
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 7 && argc != 8) {
        std::fprintf(stderr,
                     "usage: korvanel_gui_driver KORVANEL_EXE PORT ADDRESS CAPTION TEXT "
                     "BUTTON_AFTER [about-during-run|click-during-connect]\n");
        return 2;
    }
    const std::string exe = argv[1];
    const char* port = argv[2];
    const char* address = argv[3];
    const char* caption = argv[4];
    const std::string expectedText = argv[5];
    const std::string expectedButton = argv[6];
    // Opens the About box right after the press and leaves it open: the run
    // must go on underneath and its result box open above it.
    const bool aboutDuringRun = argc == 8 && std::string(argv[7]) == "about-during-run";
    // Presses the button again while the port connects, with BM_CLICK as
    // automation tools press it: the press cancels the connect.
    const bool clickDuringConnect = argc == 8 && std::string(argv[7]) == "click-during-connect";
    DWORD clickedAt = 0;

    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::string commandLine = "\"" + exe + "\"";
    if (!::CreateProcessA(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &startup, &process)) {
        std::printf("FAIL starting %s: error %lu\n", exe.c_str(), ::GetLastError());
        return 1;
    }
    bool ok = true;
    const HWND dialog = WaitForDialog(process.dwProcessId, 30000);
    ok &= Check(dialog != nullptr, "dialog found by its title", kDialogTitle);
    if (dialog) {
        ok &= Check(WindowText(::GetDlgItem(dialog, kRunButton)) == "Clear",
                    "button label before the first run",
                    WindowText(::GetDlgItem(dialog, kRunButton)));
        ok &= Check(WindowText(::GetDlgItem(dialog, kPortField)) == "COM1", "default port",
                    WindowText(::GetDlgItem(dialog, kPortField)));

        HWND about = nullptr;
        if (!aboutDuringRun)
            ok &= OpenAbout(dialog, process.dwProcessId, about) && CloseAbout(about);

        ::SendMessageA(::GetDlgItem(dialog, kPortField), WM_SETTEXT, 0,
                       reinterpret_cast<LPARAM>(port));
        ::SendMessageA(::GetDlgItem(dialog, kAddressField), WM_SETTEXT, 0,
                       reinterpret_cast<LPARAM>(address));
        // Posted, not sent: the press may open a modal box and would hold
        // a sent message until it is dismissed.
        ::PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(kRunButton, BN_CLICKED),
                       reinterpret_cast<LPARAM>(::GetDlgItem(dialog, kRunButton)));

        if (aboutDuringRun) {
            // Give the press time to open the port before the About box's
            // own loop takes over.
            ::Sleep(300);
            ok &= OpenAbout(dialog, process.dwProcessId, about);
        }

        if (clickDuringConnect) {
            ::Sleep(400);
            const HWND button = ::GetDlgItem(dialog, kRunButton);
            ok &= Check(WindowText(button) == "Stop", "label while connecting", WindowText(button));
            clickedAt = ::GetTickCount();
            ::SendMessageTimeoutA(button, BM_CLICK, 0, 0, SMTO_ABORTIFHUNG, 2000, nullptr);
        }

        std::string otherSeen;
        // Seven periods of one second after the first tick, plus start-up.
        const HWND box = WaitForBox(process.dwProcessId, caption, 15000, otherSeen);
        ok &= Check(box != nullptr, "message box by its caption",
                    box ? caption : (otherSeen.empty() ? "(none)" : otherSeen));
        if (box) {
            const std::string text = WindowText(::GetDlgItem(box, kMessageBoxText));
            ok &= Check(text == expectedText, "message box text", text);
            const DWORD ms = ::GetTickCount() - clickedAt; // the connect's own bound is 3 s
            ok &= !clickDuringConnect || Check(ms < 2000, "box after the press", std::to_string(ms) + " ms");
            ::PostMessageA(box, WM_COMMAND, IDOK, 0);
            for (int i = 0; i < 50 && ::IsWindow(box); ++i)
                ::Sleep(100);
            ok &= Check(!::IsWindow(box), "message box dismissed", "");
        }
        if (about)
            ok &= CloseAbout(about);
        // Longer than one tick period: a run that should not have started
        // would have put its request on the line by now.
        ::Sleep(1500);
        const std::string label = WindowText(::GetDlgItem(dialog, kRunButton));
        ok &= Check(label == expectedButton, "button label afterwards", label);

        ::PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    }
    const bool ended = ::WaitForSingleObject(process.hProcess, 10000) == WAIT_OBJECT_0;
    ok &= Check(ended, "program ended after Esc", "");
    if (!ended)
        ::TerminateProcess(process.hProcess, 1);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return ok ? 0 : 1;
}
