#include "win32_dialog_window.h"

#include <vector>

#include "clear_run.h"
#include "resource.h"

namespace korvanel {

namespace {

INT_PTR CALLBACK AboutDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        return TRUE;
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
    const std::string item = length > 0 ? std::string(loaded, static_cast<std::size_t>(length)) : text;
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

void Win32DialogWindow::postClearTick()
{
    ::PostMessageA(hwnd_, WM_CLEAR_TICK, WM_CLEAR_TICK_WPARAM, WM_CLEAR_TICK_LPARAM);
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
