#include "win32_dialog_window.h"

#include <shellapi.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "clear_run.h"
#include "clear_tick_message.h"
#include "resource.h"

namespace korvanel {

namespace {

// An extended template starts with version 1 and signature 0xFFFF; its
// style is at byte 12 and its position at 18 and 20. A plain template has
// its style at 0 and its position at 10 and 12.
constexpr WORD EXTENDED_TEMPLATE_SIGNATURE = 0xFFFF;
struct TemplateLayout {
    std::size_t style, x, y;
};
constexpr TemplateLayout EXTENDED_LAYOUT{12, 18, 20};
constexpr TemplateLayout PLAIN_LAYOUT{0, 10, 12};
constexpr std::size_t EXTENDED_HEADER_BYTES = 26;

template <typename T>
T ReadAt(const unsigned char* bytes, std::size_t offset)
{
    T value{};
    std::memcpy(&value, bytes + offset, sizeof value);
    return value;
}

// True when the template puts the dialog at (0, 0) and leaves its placing
// to the program (no DS_CENTER, DS_CENTERMOUSE or DS_ABSALIGN).
bool TemplateAtOrigin(HINSTANCE instance, int templateId)
{
    const HRSRC found = ::FindResourceA(instance, MAKEINTRESOURCEA(templateId), RT_DIALOG);
    const HGLOBAL loaded = found ? ::LoadResource(instance, found) : nullptr;
    const auto* bytes =
        static_cast<const unsigned char*>(loaded ? ::LockResource(loaded) : nullptr);
    if (!bytes || ::SizeofResource(instance, found) < EXTENDED_HEADER_BYTES)
        return false;
    const TemplateLayout at =
        ReadAt<WORD>(bytes, 2) == EXTENDED_TEMPLATE_SIGNATURE ? EXTENDED_LAYOUT : PLAIN_LAYOUT;
    const DWORD placedByStyle = DS_CENTER | DS_CENTERMOUSE | DS_ABSALIGN;
    return (ReadAt<DWORD>(bytes, at.style) & placedByStyle) == 0 &&
           ReadAt<short>(bytes, at.x) == 0 && ReadAt<short>(bytes, at.y) == 0;
}

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: CentreIfTemplateAtOrigin(dialog, IDD_ABOUTBOX); return TRUE;
    case WM_COMMAND:
        // OK, Esc and the close box all end it.
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            ::EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    }
    return FALSE;
}

} // namespace

void CentreIfTemplateAtOrigin(HWND dialog, int templateId)
{
    const auto instance = reinterpret_cast<HINSTANCE>(::GetWindowLongPtrA(dialog, GWLP_HINSTANCE));
    if (!TemplateAtOrigin(instance, templateId))
        return;
    const HWND owner = ::GetWindow(dialog, GW_OWNER);
    const bool overOwner = owner && ::IsWindowVisible(owner) && !::IsIconic(owner);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!::GetMonitorInfoA(
            ::MonitorFromWindow(overOwner ? owner : dialog, MONITOR_DEFAULTTOPRIMARY), &monitor))
        return;
    const RECT area = monitor.rcWork;
    RECT over = area;
    if (overOwner)
        ::GetWindowRect(owner, &over);
    RECT box{};
    ::GetWindowRect(dialog, &box);
    const LONG width = box.right - box.left;
    const LONG height = box.bottom - box.top;
    // Kept on the screen; the top-left corner wins, so that a dialog larger
    // than the screen still shows its caption.
    const LONG left =
        std::max(area.left, std::min((over.left + over.right) / 2 - width / 2, area.right - width));
    const LONG top = std::max(
        area.top, std::min((over.top + over.bottom) / 2 - height / 2, area.bottom - height));
    ::SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string TitleFromModulePath(const std::string& path)
{
    const std::size_t slash = path.find_last_of("\\/");
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

Win32DialogWindow::Win32DialogWindow(HINSTANCE instance) : instance_(instance)
{
    bigIcon_ = ::LoadIconA(instance_, MAKEINTRESOURCEA(IDR_MAINFRAME));
    // The group's own 16 x 16 image, not the 32 x 32 one shrunk.
    smallIcon_ = static_cast<HICON>(::LoadImageA(instance_, MAKEINTRESOURCEA(IDR_MAINFRAME),
                                                 IMAGE_ICON, ::GetSystemMetrics(SM_CXSMICON),
                                                 ::GetSystemMetrics(SM_CYSMICON), 0));
    if (!smallIcon_)
        smallIcon_ = bigIcon_;
}

Win32DialogWindow::~Win32DialogWindow()
{
    // LoadImageA without LR_SHARED made the small icon ours to destroy; the
    // large one from LoadIconA is shared and stays.
    if (smallIcon_ && smallIcon_ != bigIcon_)
        ::DestroyIcon(smallIcon_);
}

std::string Win32DialogWindow::controlText(int id) const
{
    const HWND control = ::GetDlgItem(hwnd_, id);
    if (!control)
        return std::string();
    const int length = ::GetWindowTextLengthA(control);
    std::vector<char> text(static_cast<std::size_t>(length) + 1, '\0');
    const int got = ::GetWindowTextA(control, text.data(), length + 1);
    return std::string(text.data(), got > 0 ? static_cast<std::size_t>(got) : 0);
}

void Win32DialogWindow::setControlText(int id, const std::string& text)
{
    ::SetDlgItemTextA(hwnd_, id, text.c_str());
}

int Win32DialogWindow::checkState(int id) const
{
    return static_cast<int>(::IsDlgButtonChecked(hwnd_, id));
}

void Win32DialogWindow::setCheckState(int id, int state)
{
    ::CheckDlgButton(hwnd_, id, static_cast<UINT>(state));
}

void Win32DialogWindow::enableControl(int id, bool enable)
{
    ::EnableWindow(::GetDlgItem(hwnd_, id), enable ? TRUE : FALSE);
}

void Win32DialogWindow::focusAndSelectAll(int id)
{
    const HWND control = ::GetDlgItem(hwnd_, id);
    ::SetFocus(control);
    ::SendMessageA(control, EM_SETSEL, 0, -1);
}

int Win32DialogWindow::comboSelection(int id) const
{
    return static_cast<int>(::SendDlgItemMessageA(hwnd_, id, CB_GETCURSEL, 0, 0));
}

void Win32DialogWindow::setTitle(const std::string& title)
{
    ::SetWindowTextA(hwnd_, title.c_str());
}

void Win32DialogWindow::setIcons()
{
    ::SendMessageA(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(bigIcon_));
    ::SendMessageA(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));
}

void Win32DialogWindow::addAboutMenuItem(const std::string& text)
{
    // The item's text is string 101 of the resources; the caller's text is
    // the same words, used should the string table lack it.
    char loaded[256] = {};
    const int length = ::LoadStringA(instance_, IDS_ABOUTBOX, loaded, sizeof loaded);
    const std::string item =
        length > 0 ? std::string(loaded, static_cast<std::size_t>(length)) : text;
    if (item.empty())
        return;
    const HMENU systemMenu = ::GetSystemMenu(hwnd_, FALSE);
    if (!systemMenu)
        return;
    ::AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
    ::AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, item.c_str());
}

void Win32DialogWindow::messageBox(const std::string& text, const std::string& caption,
                                   unsigned type)
{
    ::MessageBoxA(hwnd_, text.c_str(), caption.c_str(), type);
}

void Win32DialogWindow::showAboutBox()
{
    ::DialogBoxParamA(instance_, MAKEINTRESOURCEA(IDD_ABOUTBOX), hwnd_, AboutDialogProc, 0);
}

std::string Win32DialogWindow::applicationTitle() const
{
    char path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return TitleFromModulePath(std::string(path, length));
}

std::string Win32DialogWindow::helpPath() const
{
    char path[MAX_PATH + 1] = {};
    const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    const std::string program(path, length);
    const std::size_t slash = program.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : program.substr(0, slash + 1)) +
           "README.txt";
}

bool Win32DialogWindow::openHelp(const std::string& path)
{
    if (helpLauncher_)
        return helpLauncher_(path);
    // Above 32 is success; a missing file gives ERROR_FILE_NOT_FOUND.
    const auto result = reinterpret_cast<INT_PTR>(
        ::ShellExecuteA(hwnd_, "open", path.c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    return result > 32;
}

void Win32DialogWindow::postClearTick()
{
    ::PostMessageA(hwnd_, WM_CLEAR_TICK, WM_CLEAR_TICK_WPARAM, WM_CLEAR_TICK_LPARAM);
}

bool Win32DialogWindow::handleWaitingEvents()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT) {
            // Left for the loop that owns the program's end.
            ::PostQuitMessage(static_cast<int>(msg.wParam));
            return false;
        }
        if (hwnd_ && ::IsDialogMessageA(hwnd_, &msg))
            continue;
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return true;
}

bool Win32DialogWindow::isMinimised() const
{
    return ::IsIconic(hwnd_) != FALSE;
}

PixelSize Win32DialogWindow::clientSize() const
{
    RECT rect{};
    ::GetClientRect(hwnd_, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

PixelSize Win32DialogWindow::iconSize() const
{
    return {::GetSystemMetrics(SM_CXICON), ::GetSystemMetrics(SM_CYICON)};
}

void Win32DialogWindow::drawIcon(int x, int y)
{
    PAINTSTRUCT paint{};
    const HDC dc = ::BeginPaint(hwnd_, &paint);
    ::SendMessageA(hwnd_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
    ::DrawIcon(dc, x, y, bigIcon_);
    ::EndPaint(hwnd_, &paint);
}

} // namespace korvanel
