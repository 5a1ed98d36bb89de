// The window layer on the raw Win32 dialog API: one dialog window and its
// controls, addressed by control id. The dialog's logic (CClearDlg) is
// written against DialogWindow; this is its Windows face.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "dialog_window.h"

namespace korvanel {

class Win32DialogWindow : public DialogWindow {
public:
    // `instance` holds the resources (icon 128, string 101, template 100).
    explicit Win32DialogWindow(HINSTANCE instance);
    ~Win32DialogWindow() override;
    Win32DialogWindow(const Win32DialogWindow&) = delete;
    Win32DialogWindow& operator=(const Win32DialogWindow&) = delete;

    // The dialog window, once WM_INITDIALOG has made it.
    void attach(HWND dialog) { hwnd_ = dialog; }
    HWND hwnd() const { return hwnd_; }
    // Icon 128 at the system's large icon size: the minimised and drag icon.
    HICON icon() const { return bigIcon_; }

    std::string controlText(int id) const override;
    void setControlText(int id, const std::string& text) override;
    int checkState(int id) const override;
    void setCheckState(int id, int state) override;
    void enableControl(int id, bool enable) override;
    void focusAndSelectAll(int id) override;
    int comboSelection(int id) const override;

    void setTitle(const std::string& title) override;
    void setIcons() override;
    void addAboutMenuItem(const std::string& text) override;
    void messageBox(const std::string& text, const std::string& caption, unsigned type) override;
    void showAboutBox() override;
    std::string applicationTitle() const override;
    // README.txt beside the executable, as the zip unpacks it.
    std::string helpPath() const override;
    // ShellExecute "open": the viewer the user has for .txt files.
    bool openHelp(const std::string& path) override;
    // A test watches the request instead of starting a viewer.
    using HelpLauncher = std::function<bool(const std::string&)>;
    void setHelpLauncher(HelpLauncher launcher) { helpLauncher_ = std::move(launcher); }

    // From the poll thread: PostMessage only, never a send, so the thread
    // never waits for the UI thread.
    void postClearTick() override;
    // Every message waiting, input too, with the dialog's own keyboard
    // handling (Tab, Space, Esc), as the modal loop would.
    bool handleWaitingEvents() override;

    bool isMinimised() const override;
    PixelSize clientSize() const override;
    PixelSize iconSize() const override;
    void drawIcon(int x, int y) override;

private:
    HINSTANCE instance_;
    HWND hwnd_ = nullptr;
    HICON bigIcon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HelpLauncher helpLauncher_;
};

// Called from a dialog's WM_INITDIALOG: when its template (`templateId` in
// the dialog's module) places it at (0, 0), the dialog is centred over its
// owner, or on the work area of its screen when it has none, and kept on
// that screen, as the framework the program was designed on places its
// modal dialogs. The dialog manager alone would leave it in the corner.
void CentreIfTemplateAtOrigin(HWND dialog, int templateId);

// "C:\\Tools\\Korvanel.exe" -> "Korvanel": the application title.
std::string TitleFromModulePath(const std::string& path);

} // namespace korvanel
