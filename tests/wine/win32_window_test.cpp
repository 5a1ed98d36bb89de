// The Windows dialog's resources and window layer, on real windows made
// from the same korvanel.rc the program links: what a user sees in the main
// dialog and the About box, the system menu, the version block, and the
// window layer's calls as the dialog's logic makes them. Needs a display
// (run-wine-tests.sh runs it on Xvfb).
#include "win32_dialog_window.h"

#include <gtest/gtest.h>

#include "clear_app.h"
#include <windows.h>

#include <string>
#include <vector>

#include "clear_run.h"
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
                                     QuietDialogProc, 0))
    {
    }
    ~TemplateDialog()
    {
        if (hwnd_)
            ::DestroyWindow(hwnd_);
    }
    HWND hwnd() const { return hwnd_; }

private:
    HWND hwnd_;
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

struct ControlRow {
    int id;
    const char* className;
    const char* text;
    bool visible;
    bool enabled;
    RECT position;  // x, y, width, height in dialog units
    LONG styleBits;
};

TEST(Win32Resources, MainDialogShowsTheTemplatesControls)
{
    TemplateDialog dialog(IDD_MAIN);
    ASSERT_NE(dialog.hwnd(), nullptr);
    EXPECT_EQ(TextOf(dialog.hwnd()), "Korvanel");
    const LONG style = ::GetWindowLongA(dialog.hwnd(), GWL_STYLE);
    EXPECT_EQ(style & (WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME),
              WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME);
    EXPECT_EQ(style & (WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
    EXPECT_NE(::GetWindowLongA(dialog.hwnd(), GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);

    // An edit's border shows as WS_BORDER or, in dialogs drawn in 3-D, as
    // a sunken client edge; a combo box hands its scroll bar to its list.
    const LONG edit = WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL;
    const LONG combo = CBS_DROPDOWN | CBS_SORT | WS_TABSTOP;
    const ControlRow rows[] = {
        {IDC_LENGTH_LABEL, "Static", "Len/Data:", false, true, {96, 65, 38, 8}, WS_GROUP},
        {IDC_PORT_LABEL, "Static", "COMPort:", true, true, {10, 17, 33, 8}, WS_GROUP},
        {IDC_ADDRESS_LABEL, "Static", "INV CommAddr:", true, true, {83, 17, 53, 8}, WS_GROUP},
        {IDC_REGISTER_LABEL, "Static", "RegAddr:", false, true, {26, 63, 31, 8}, WS_GROUP},
        {IDC_PORT_NAME, "Edit", "", true, true, {44, 14, 28, 14}, edit},
        {IDC_INVERTER_ADDRESS, "Edit", "", true, true, {139, 14, 28, 14}, edit},
        {IDC_REGISTER_ADDRESS, "Edit", "", false, true, {59, 60, 28, 14}, edit},
        {IDC_LENGTH_OR_DATA, "Edit", "", false, true, {83, 63, 37, 14}, edit},
        {IDC_FUNCTION_SELECTOR, "ComboBox", "", false, true, {38, 65, 77, 0}, combo},
        {IDC_RESULT_TEXT, "Edit", "", false, true, {13, 63, 139, 22},
         ES_MULTILINE | ES_WANTRETURN | WS_BORDER | WS_VSCROLL | WS_TABSTOP},
        {IDC_RUN_BUTTON, "Button", "Clear", true, true, {67, 56, 49, 22}, WS_TABSTOP},
        {IDC_NOTE, "Static", "Note:  Please Disconnect AC First.", true, true, {10, 36, 137, 8},
         WS_GROUP},
        {IDC_POLL_PERIOD, "Edit", "", false, true, {14, 60, 33, 14}, edit},
        {IDC_READ_SINGLE_TIME, "Button", "ReadSingleTime", false, true, {54, 60, 72, 10},
         BS_AUTOCHECKBOX | WS_TABSTOP},
        {IDC_PARAM_SELECTOR, "ComboBox", "", false, true, {26, 60, 79, 0}, combo},
        {IDC_PARAM_LABEL, "Static", "ParameterData:", false, true, {46, 63, 57, 8}, WS_GROUP},
        {IDC_PARAMETER_DATA, "Edit", "", false, true, {31, 63, 76, 14}, edit},
        {IDC_HEX_VIEW, "Button", "HexView", false, false, {57, 63, 44, 10},
         BS_AUTOCHECKBOX | WS_TABSTOP},
        {IDC_LOCAL_VERSION, "Static", "LocalVS:??", false, true, {79, 63, 64, 8}, WS_GROUP},
    };

    // Template order is the tab order: the children come in the rows' order.
    HWND child = ::GetWindow(dialog.hwnd(), GW_CHILD);
    for (const ControlRow& row : rows) {
        SCOPED_TRACE(row.id);
        ASSERT_NE(child, nullptr);
        EXPECT_EQ(::GetDlgCtrlID(child), row.id);
        EXPECT_EQ(ClassOf(child), row.className);
        EXPECT_EQ(TextOf(child), row.text);
        const LONG s = ::GetWindowLongA(child, GWL_STYLE);
        EXPECT_EQ((s & WS_VISIBLE) != 0, row.visible);
        EXPECT_EQ((s & WS_DISABLED) == 0, row.enabled);
        LONG seen = s;
        if (::GetWindowLongA(child, GWL_EXSTYLE) & WS_EX_CLIENTEDGE)
            seen |= WS_BORDER;
        EXPECT_EQ(seen & row.styleBits, row.styleBits);
        const RECT at = DialogUnits(dialog.hwnd(), child);
        EXPECT_EQ(at.left, row.position.left);
        EXPECT_EQ(at.top, row.position.top);
        EXPECT_EQ(at.right, row.position.right);
        // A combo box's height is its closed height, not the template's
        // drop-down height.
        if (row.position.bottom != 0) {
            EXPECT_EQ(at.bottom, row.position.bottom);
        }
        child = ::GetWindow(child, GW_HWNDNEXT);
    }
    EXPECT_EQ(child, nullptr) << "more controls than the template has";
}

TEST(Win32Resources, AboutBoxHasItsCaptionIconAndOkButton)
{
    TemplateDialog about(IDD_ABOUTBOX);
    ASSERT_NE(about.hwnd(), nullptr);
    EXPECT_EQ(TextOf(about.hwnd()), "About Korvanel");
    const HWND ok = ::GetDlgItem(about.hwnd(), IDOK);
    ASSERT_NE(ok, nullptr);
    EXPECT_EQ(TextOf(ok), "OK");
    EXPECT_EQ(::GetWindowLongA(ok, GWL_STYLE) & 0x0F, BS_DEFPUSHBUTTON);
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
