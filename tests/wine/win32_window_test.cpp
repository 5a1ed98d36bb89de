// The Windows dialog's resources and window layer, on real windows made
// from the same korvanel.rc the program links: what a user sees in the main
// dialog and the About box, the system menu, the version block, and the
// window layer's calls as the dialog's logic makes them. Needs a display
// (run_wine_tests.py runs it on Xvfb).
#include "win32_dialog_window.h"

#include <gtest/gtest.h>

#include "clear_app.h"
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "clear_run.h"
#include "dialog_template_data.h"
#include "resource.h"

namespace korvanel {
namespace {

INT_PTR CALLBACK QuietDialogProc(HWND, UINT message, WPARAM, LPARAM)
{
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

// A dialog made from template `id` of this program's resources, hidden
// from the start so no test depends on focus or stacking order.
class TemplateDialog {
public:
    explicit TemplateDialog(int id)
        : hwnd_(::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), nullptr,
                                     QuietDialogProc, 0)),
          error_(hwnd_ ? 0 : ::GetLastError())
    {
    }
    ~TemplateDialog()
    {
        if (hwnd_)
            ::DestroyWindow(hwnd_);
    }
    HWND hwnd() const { return hwnd_; }
    // Why the dialog could not be made.
    DWORD error() const { return error_; }

private:
    HWND hwnd_;
    DWORD error_;
};

std::string ClassOf(HWND hwnd)
{
    char name[64] = {};
    ::GetClassNameA(hwnd, name, sizeof name);
    return name;
}

std::string TextOf(HWND hwnd)
{
    char text[256] = {};
    ::GetWindowTextA(hwnd, text, sizeof text);
    return text;
}

// A control's rectangle back in dialog units, for comparison with the
// template.
RECT DialogUnits(HWND dialog, HWND control)
{
    RECT r{};
    ::GetWindowRect(control, &r);
    ::MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    RECT unit{0, 0, 4, 8};
    ::MapDialogRect(dialog, &unit);
    // Rounded: the pixel positions are the template's units scaled down.
    auto back = [](LONG px, LONG per, LONG base) { return (px * base + per / 2) / per; };
    return {back(r.left, unit.right, 4), back(r.top, unit.bottom, 8),
            back(r.right - r.left, unit.right, 4), back(r.bottom - r.top, unit.bottom, 8)};
}

// A window's style as the template wrote it: an edit's border shows as
// WS_BORDER or, in dialogs drawn in 3-D, as a sunken client edge; a combo
// box hands its scroll bar to its list.
LONG SeenStyle(HWND control)
{
    LONG seen = ::GetWindowLongA(control, GWL_STYLE);
    if (::GetWindowLongA(control, GWL_EXSTYLE) & WS_EX_CLIENTEDGE)
        seen |= WS_BORDER;
    if (ClassOf(control) == "ComboBox")
        seen |= WS_VSCROLL;
    return seen;
}

// Every control of a template made into a real dialog, in template order
// (the tab order), against the data the Qt dialog is built from.
void ExpectTheTemplatesControls(HWND dialog, const ControlTemplate* rows, int count)
{
    constexpr LONG STATE_BITS = WS_VISIBLE | WS_DISABLED | WS_TABSTOP | WS_GROUP;
    HWND child = ::GetWindow(dialog, GW_CHILD);
    for (int i = 0; i < count; ++i) {
        const ControlTemplate& row = rows[i];
        SCOPED_TRACE(testing::Message() << "control " << i << ", id " << row.id << " \"" << row.text << '"');
        ASSERT_NE(child, nullptr);
        // A plain template holds 16-bit ids: IDC_STATIC (-1) reads as 0xFFFF.
        EXPECT_EQ(static_cast<WORD>(::GetDlgCtrlID(child)), static_cast<WORD>(row.id));
        EXPECT_EQ(ClassOf(child), row.className);
        if (row.kind != ControlKind::Icon) {
            EXPECT_EQ(TextOf(child), row.text);
        }
        const auto style = static_cast<LONG>(row.style);
        const LONG seen = SeenStyle(child);
        EXPECT_EQ(seen & style, style) << std::hex << "seen 0x" << seen << ", template 0x" << style;
        EXPECT_EQ(seen & STATE_BITS, style & STATE_BITS) << std::hex << "seen 0x" << seen;
        EXPECT_EQ((seen & WS_VISIBLE) != 0, row.visible);
        EXPECT_EQ((seen & WS_DISABLED) == 0, row.enabled);
        const RECT at = DialogUnits(dialog, child);
        EXPECT_EQ(at.left, row.x);
        EXPECT_EQ(at.top, row.y);
        EXPECT_EQ(at.right, row.width);
        // A combo box's height is its closed height, not the template's
        // drop-down height.
        if (row.kind != ControlKind::ComboBox) {
            EXPECT_EQ(at.bottom, row.height);
        }
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";
}

TEST(Win32Resources, MainDialogShowsTheTemplatesControls)
{
    TemplateDialog dialog(IDD_MAIN);
    ASSERT_NE(dialog.hwnd(), nullptr) << "error " << dialog.error();
    EXPECT_EQ(TextOf(dialog.hwnd()), MAIN_DIALOG_CAPTION);
    const LONG style = ::GetWindowLongA(dialog.hwnd(), GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(::GetWindowLongA(dialog.hwnd(), GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);
    RECT client{};
    ::GetClientRect(dialog.hwnd(), &client);
    RECT size{0, 0, MAIN_DIALOG_WIDTH_DU, MAIN_DIALOG_HEIGHT_DU};
    ::MapDialogRect(dialog.hwnd(), &size);
    EXPECT_EQ(client.right, size.right);
    EXPECT_EQ(client.bottom, size.bottom);
    ExpectTheTemplatesControls(dialog.hwnd(), MAIN_DIALOG_CONTROLS, MAIN_DIALOG_CONTROL_COUNT);
}

TEST(Win32Resources, AboutBoxHasItsCaptionIconAndOkButton)
{
    TemplateDialog about(IDD_ABOUTBOX);
    ASSERT_NE(about.hwnd(), nullptr) << "error " << about.error();
    EXPECT_EQ(TextOf(about.hwnd()), ABOUT_DIALOG_CAPTION);
    ExpectTheTemplatesControls(about.hwnd(), ABOUT_DIALOG_CONTROLS, ABOUT_DIALOG_CONTROL_COUNT);
    const HWND ok = ::GetDlgItem(about.hwnd(), IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(TextOf(ok), "OK");
    EXPECT_EQ(::GetWindowLongA(ok, GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
    // The icon control shows icon 128 (its size, the template's 20 x 20
    // dialog units, is checked with the other controls).
    const HWND icon = ::GetWindow(about.hwnd(), GW_CHILD);
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(::GetWindowLongA(icon, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
    EXPECT_NE(::SendMessageA(icon, STM_GETICON, 0, 0), 0);
}

TEST(Win32Resources, IconStringAndVersion)
{
    const HINSTANCE self = ::GetModuleHandleA(nullptr);
    const struct {
        int size;
    } icons[] = {{32}, {16}};
    for (const auto& icon : icons) {
        SCOPED_TRACE(icon.size);
        HICON h = static_cast<HICON>(::LoadImageA(self, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                                  icon.size, icon.size, 0));
        ASSERT_NE(h, nullptr);
        ICONINFO info{};
        ASSERT_TRUE(::GetIconInfo(h, &info));
        BITMAP bitmap{};
        ::GetObjectA(info.hbmMask, sizeof bitmap, &bitmap);
        EXPECT_EQ(bitmap.bmWidth, icon.size);
        ::DeleteObject(info.hbmMask);
        if (info.hbmColor)
            ::DeleteObject(info.hbmColor);
        ::DestroyIcon(h);
    }

    char text[64] = {};
    ASSERT_GT(::LoadStringA(self, IDS_ABOUTBOX, text, sizeof text), 0);
    EXPECT_STREQ(text, "&About Korvanel...");

    char path[MAX_PATH] = {};
    ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    DWORD ignored = 0;
    std::vector<char> block(::GetFileVersionInfoSizeA(path, &ignored));
    ASSERT_FALSE(block.empty());
    ASSERT_TRUE(::GetFileVersionInfoA(path, 0, static_cast<DWORD>(block.size()), block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(fixed->dwFileVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwFileVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwProductVersionMS, 0x00010000u);
    EXPECT_EQ(fixed->dwProductVersionLS, 0x00000001u);
    EXPECT_EQ(fixed->dwFileType, DWORD{VFT_APP});
    EXPECT_EQ(fixed->dwFileOS, DWORD{VOS__WINDOWS32});
    char* fileVersion = nullptr;
    ASSERT_TRUE(::VerQueryValueA(block.data(), "\\StringFileInfo\\040904B0\\FileVersion",
                                 reinterpret_cast<void**>(&fileVersion), &length));
    EXPECT_STREQ(fileVersion, "1, 0, 0, 1");
}

// The window layer on a real main dialog, as the dialog's logic calls it.
class Win32WindowLayer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(dialog_.hwnd(), nullptr);
        window_.attach(dialog_.hwnd());
    }

    TemplateDialog dialog_{IDD_MAIN};
    Win32DialogWindow window_{::GetModuleHandleA(nullptr)};
};

TEST_F(Win32WindowLayer, TextsGoIntoAndComeOutOfControls)
{
    const struct {
        int id;
        std::string text;
    } rows[] = {
        {IDC_PORT_NAME, "COM1"},
        {IDC_PORT_NAME, "\\\\.\\COM12"},
        {IDC_INVERTER_ADDRESS, "  7 "},
        {IDC_INVERTER_ADDRESS, ""},
        {IDC_RUN_BUTTON, "Stop"},
        {IDC_RESULT_TEXT, "!!--Rspone or Set Error--!!"},
        {IDC_PARAMETER_DATA, std::string(300, 'x')},
    };
    for (const auto& row : rows) {
        window_.setControlText(row.id, row.text);
        EXPECT_EQ(window_.controlText(row.id), row.text) << row.id;
    }
    window_.setTitle("Korvanel V1.0");
    EXPECT_EQ(TextOf(dialog_.hwnd()), "Korvanel V1.0");
}

TEST_F(Win32WindowLayer, CheckStatesEnablingAndSelection)
{
    for (int state : {1, 0, 1, 0}) {
        window_.setCheckState(IDC_READ_SINGLE_TIME, state);
        EXPECT_EQ(window_.checkState(IDC_READ_SINGLE_TIME), state);
    }
    window_.enableControl(IDC_PARAM_SELECTOR, false);
    EXPECT_FALSE(::IsWindowEnabled(::GetDlgItem(dialog_.hwnd(), IDC_PARAM_SELECTOR)));
    window_.enableControl(IDC_PARAM_SELECTOR, true);
    EXPECT_TRUE(::IsWindowEnabled(::GetDlgItem(dialog_.hwnd(), IDC_PARAM_SELECTOR)));
    // Both selectors stay empty: nothing is selected.
    EXPECT_EQ(window_.comboSelection(IDC_FUNCTION_SELECTOR), -1);
    EXPECT_EQ(window_.comboSelection(IDC_PARAM_SELECTOR), -1);
}

TEST_F(Win32WindowLayer, ARejectedFieldHasItsWholeTextSelected)
{
    ::ShowWindow(dialog_.hwnd(), SW_SHOW);
    window_.setControlText(IDC_INVERTER_ADDRESS, "abc");
    window_.focusAndSelectAll(IDC_INVERTER_ADDRESS);
    DWORD start = 0;
    DWORD end = 0;
    ::SendDlgItemMessageA(dialog_.hwnd(), IDC_INVERTER_ADDRESS, EM_GETSEL,
                          reinterpret_cast<WPARAM>(&start), reinterpret_cast<LPARAM>(&end));
    EXPECT_EQ(start, 0u);
    EXPECT_EQ(end, 3u);
    EXPECT_EQ(::GetFocus(), ::GetDlgItem(dialog_.hwnd(), IDC_INVERTER_ADDRESS));
}

TEST_F(Win32WindowLayer, TheSystemMenuOffersTheAboutBox)
{
    window_.addAboutMenuItem("&About Korvanel...");
    const HMENU menu = ::GetSystemMenu(dialog_.hwnd(), FALSE);
    ASSERT_NE(menu, nullptr);
    const int count = ::GetMenuItemCount(menu);
    ASSERT_GE(count, 2);
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));
    char text[64] = {};
    ::GetMenuStringA(menu, count - 1, text, sizeof text, MF_BYPOSITION);
    EXPECT_STREQ(text, "&About Korvanel...");
    MENUITEMINFOA separator{};
    separator.cbSize = sizeof separator;
    separator.fMask = MIIM_FTYPE;
    ASSERT_TRUE(::GetMenuItemInfoA(menu, count - 2, TRUE, &separator));
    EXPECT_NE(separator.fType & MFT_SEPARATOR, 0u);
}

TEST_F(Win32WindowLayer, TicksArePostedAsMessage0x462WithParameters0And4)
{
    window_.postClearTick();
    window_.postClearTick();
    MSG msg{};
    int ticks = 0;
    while (::PeekMessageA(&msg, dialog_.hwnd(), WM_CLEAR_TICK, WM_CLEAR_TICK, PM_REMOVE)) {
        ++ticks;
        EXPECT_EQ(msg.message, 0x462u);
        EXPECT_EQ(msg.wParam, 0u);
        EXPECT_EQ(msg.lParam, 4);
    }
    EXPECT_EQ(ticks, 2);
}

TEST_F(Win32WindowLayer, TheMinimisedIconIsCentredInTheClientArea)
{
    EXPECT_EQ(window_.iconSize().width, ::GetSystemMetrics(SM_CXICON));
    EXPECT_EQ(window_.iconSize().height, ::GetSystemMetrics(SM_CYICON));
    RECT client{};
    ::GetClientRect(dialog_.hwnd(), &client);
    EXPECT_EQ(window_.clientSize().width, client.right);
    EXPECT_EQ(window_.clientSize().height, client.bottom);
    EXPECT_FALSE(window_.isMinimised());
    EXPECT_NE(window_.icon(), nullptr);
}

// The program's own main dialog: its procedure, the dialog logic, the real
// port and poll thread, made as the program makes it (modeless here, so the
// test keeps the thread).
TEST(Win32MainDialog, InitialisesAsTheProgramShowsIt)
{
    const HINSTANCE self = ::GetModuleHandleA(nullptr);
    MainDialog main(self);
    const HWND hwnd = ::CreateDialogParamA(self, MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                                           MainDialogProc, reinterpret_cast<LPARAM>(&main));
    ASSERT_NE(hwnd, nullptr);

    EXPECT_EQ(TextOf(hwnd), "Korvanel V1.0");
    EXPECT_EQ(TextOf(::GetDlgItem(hwnd, IDC_PORT_NAME)), "COM1");
    EXPECT_EQ(TextOf(::GetDlgItem(hwnd, IDC_INVERTER_ADDRESS)), "1");
    EXPECT_EQ(TextOf(::GetDlgItem(hwnd, IDC_POLL_PERIOD)), "1000");
    EXPECT_EQ(TextOf(::GetDlgItem(hwnd, IDC_RUN_BUTTON)), "Clear");
    EXPECT_EQ(TheClearRun().state(), Idle);
    EXPECT_EQ(TheClearRun().period(), 1000);

    // The title bar's icons and the drag icon are icon 128.
    const LRESULT big = ::SendMessageA(hwnd, WM_GETICON, ICON_BIG, 0);
    EXPECT_NE(big, 0);
    EXPECT_NE(::SendMessageA(hwnd, WM_GETICON, ICON_SMALL, 0), 0);
    EXPECT_EQ(::SendMessageA(hwnd, WM_QUERYDRAGICON, 0, 0), big);

    const HMENU menu = ::GetSystemMenu(hwnd, FALSE);
    const int count = ::GetMenuItemCount(menu);
    EXPECT_EQ(::GetMenuItemID(menu, count - 1), static_cast<UINT>(IDM_ABOUTBOX));

    // A tick while no run is under way sends nothing and changes nothing.
    ::SendMessageA(hwnd, WM_CLEAR_TICK, 0, 4);
    EXPECT_EQ(TextOf(::GetDlgItem(hwnd, IDC_RUN_BUTTON)), "Clear");
    EXPECT_EQ(TheClearRun().state(), Idle);

    ::DestroyWindow(hwnd);
}

RECT WorkArea(HWND window)
{
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    ::GetMonitorInfoA(::MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor);
    return monitor.rcWork;
}

POINT CentreOf(const RECT& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

RECT WindowRect(HWND window)
{
    RECT r{};
    ::GetWindowRect(window, &r);
    return r;
}

// The About box as it was while open: its window and its icon control.
struct SeenAbout {
    RECT window{};
    RECT icon{};
    bool seen = false;
};
SeenAbout g_about;

// Runs inside the About box's modal loop: notes where it is, then closes it
// as the OK button would.
void CALLBACK NoteAndCloseTheAboutBox(HWND, UINT, UINT_PTR timer, DWORD)
{
    const HWND about = ::FindWindowA("#32770", ABOUT_DIALOG_CAPTION);
    if (!about)
        return;
    ::KillTimer(nullptr, timer);
    g_about.seen = true;
    g_about.window = WindowRect(about);
    g_about.icon = WindowRect(::GetWindow(about, GW_CHILD));
    ::EndDialog(about, IDOK);
}

// Both dialogs' templates put them at (0, 0): the main dialog opens in the
// middle of the screen, the About box in the middle of the main dialog,
// pushed in where it would cross the screen's edge.
TEST(Win32MainDialog, OpensCentredOnTheScreenAndTheAboutBoxOverIt)
{
    const HINSTANCE self = ::GetModuleHandleA(nullptr);
    MainDialog main(self);
    const HWND hwnd = ::CreateDialogParamA(self, MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                                           MainDialogProc, reinterpret_cast<LPARAM>(&main));
    ASSERT_NE(hwnd, nullptr);
    const RECT area = WorkArea(hwnd);
    const RECT opened = WindowRect(hwnd);
    std::printf("work area %ldx%ld, main dialog %ldx%ld at (%ld, %ld)\n", area.right - area.left,
                area.bottom - area.top, opened.right - opened.left, opened.bottom - opened.top,
                opened.left, opened.top);
    EXPECT_NEAR(CentreOf(opened).x, CentreOf(area).x, 1);
    EXPECT_NEAR(CentreOf(opened).y, CentreOf(area).y, 1);

    const struct {
        POINT dialogAt;
        bool fitsCentred;  // false: pushed in from the screen's left edge
    } rows[] = {{{150, 200}, true}, {{0, 0}, false}};
    for (const auto& row : rows) {
        ::SetWindowPos(hwnd, nullptr, row.dialogAt.x, row.dialogAt.y, 0, 0,
                       SWP_NOSIZE | SWP_NOZORDER);
        g_about = SeenAbout{};
        const UINT_PTR timer = ::SetTimer(nullptr, 0, 50, NoteAndCloseTheAboutBox);
        // The system menu's About item, as the user chooses it.
        ::SendMessageA(hwnd, WM_SYSCOMMAND, IDM_ABOUTBOX, 0);
        ::KillTimer(nullptr, timer);
        ASSERT_TRUE(g_about.seen) << "no About box";
        const RECT dialog = WindowRect(hwnd);
        const RECT& about = g_about.window;
        std::printf("main dialog at (%ld, %ld): About box %ldx%ld at (%ld, %ld)\n", dialog.left,
                    dialog.top, about.right - about.left, about.bottom - about.top, about.left,
                    about.top);
        EXPECT_NEAR(CentreOf(about).y, CentreOf(dialog).y, 1);
        if (row.fitsCentred) {
            EXPECT_NEAR(CentreOf(about).x, CentreOf(dialog).x, 1);
        } else {
            EXPECT_EQ(about.left, area.left);
        }
        EXPECT_GE(about.top, area.top);
        EXPECT_LE(about.right, area.right);
    }
    ::DestroyWindow(hwnd);
}

// F1 from the keyboard in a field of the real dialog: the control hands
// WM_HELP up, and the Help command asks for README.txt beside the program
// (the request watched, no viewer started).
TEST(Win32MainDialog, F1AsksForTheReadmeBesideTheProgram)
{
    MainDialog main(::GetModuleHandleA(nullptr));
    std::vector<std::string> launched;
    main.window.setHelpLauncher([&](const std::string& path) { return launched.push_back(path), true; });
    const HWND hwnd = ::CreateDialogParamA(::GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDD_MAIN), nullptr,
                                           MainDialogProc, reinterpret_cast<LPARAM>(&main));
    ::ShowWindow(hwnd, SW_SHOW);
    ::SetForegroundWindow(hwnd);
    ::SetFocus(::GetDlgItem(hwnd, IDC_PORT_NAME));
    INPUT key[2] = {};
    key[0].type = key[1].type = INPUT_KEYBOARD;
    key[0].ki.wVk = key[1].ki.wVk = VK_F1;
    key[1].ki.dwFlags = KEYEVENTF_KEYUP;
    ::SendInput(2, key, sizeof(INPUT));
    for (MSG msg; launched.empty() && ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 2000, QS_ALLINPUT) == WAIT_OBJECT_0;)
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageA(&msg);
    ::DestroyWindow(hwnd);
    char program[MAX_PATH] = {};
    const std::string path(program, ::GetModuleFileNameA(nullptr, program, MAX_PATH));
    EXPECT_EQ(launched, std::vector<std::string>{path.substr(0, path.rfind('\\') + 1) + "README.txt"});
}

TEST(Win32ApplicationTitle, IsTheExecutablesNameWithoutPathOrExtension)
{
    const struct {
        const char* path;
        const char* title;
    } rows[] = {
        {"C:\\Tools\\Korvanel.exe", "Korvanel"},
        {"C:\\Tools\\Inverter Reset.EXE", "Inverter Reset"},
        {"Z:\\opt\\k.v2\\Korvanel", "Korvanel"},
        {"D:/x/korvanel-copy.exe", "korvanel-copy"},
        {"Korvanel.exe", "Korvanel"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(TitleFromModulePath(row.path), row.title) << row.path;
}

} // namespace
} // namespace korvanel
