// The small window layer the dialog's logic is written against. The raw
// Win32 dialog API (ui/win32) and Qt 6 Widgets (ui/qt) each implement it;
// tests implement it with a recording fake. Controls are named by their
// ids from res/resource.h.
#pragma once

#include <string>

namespace korvanel {

// Message box types, with the values of the Win32 API.
constexpr unsigned MB_TYPE_OK = 0x00;
constexpr unsigned MB_TYPE_ICON_EXCLAMATION = 0x30;
constexpr unsigned MB_TYPE_ICON_INFORMATION = 0x40;

// A size or a point in pixels.
struct PixelSize {
    int width = 0;
    int height = 0;
};

class DialogWindow {
public:
    virtual ~DialogWindow() = default;

    virtual std::string controlText(int id) const = 0;
    virtual void setControlText(int id, const std::string& text) = 0;
    // Check boxes: 0 clear, 1 checked, 2 indeterminate.
    virtual int checkState(int id) const = 0;
    virtual void setCheckState(int id, int state) = 0;
    virtual void enableControl(int id, bool enable) = 0;
    // Focus to the control and its whole text selected.
    virtual void focusAndSelectAll(int id) = 0;
    // Current selection index of a combo box; -1 for none.
    virtual int comboSelection(int id) const = 0;

    virtual void setTitle(const std::string& title) = 0;
    // The large and small icons of the window: icon 128.
    virtual void setIcons() = 0;
    // A separator, then an "about" command with `text` (Win32: the system
    // menu; Linux: the dialog's context menu).
    virtual void addAboutMenuItem(const std::string& text) = 0;
    // Modal; returns when the user has dismissed it. Ticks keep being
    // delivered while it is open.
    virtual void messageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
    // Modal About box.
    virtual void showAboutBox() = 0;
    // The executable's file name without path and extension.
    virtual std::string applicationTitle() const = 0;
    // Where Korvanel's help (its README) is on this platform: the file
    // found, or where it belongs when none is there.
    virtual std::string helpPath() const { return {}; }
    // Shows the file at `path` in the desktop's viewer; false when it is
    // missing or nothing could be started to show it.
    virtual bool openHelp(const std::string& path)
    {
        (void)path;
        return false;
    }

    // While a network port connects: handles the events waiting, the
    // user's input among them, so the button and the close box answer (the
    // dialog's logic turns a press into a cancel). False when the program
    // has been told to quit.
    virtual bool handleWaitingEvents() { return true; }

    // Called on the poll thread: queues one tick for the UI thread and
    // returns at once (Win32: PostMessage(WM_CLEAR_TICK, 0, 4); Qt: a queued
    // call). The UI thread hands it to CClearDlg::OnClearTick, also while a
    // message box or the About box runs its own loop.
    virtual void postClearTick() = 0;

    // Painting of the minimised window (Win32). A layer whose windows never
    // paint themselves as an icon keeps these defaults.
    virtual bool isMinimised() const { return false; }
    virtual PixelSize clientSize() const { return {}; }
    // The system's icon size (SM_CXICON, SM_CYICON).
    virtual PixelSize iconSize() const { return {}; }
    // Erases the background (WM_ICONERASEBKGND) and draws icon 128 with its
    // top left corner at (x, y).
    virtual void drawIcon(int x, int y)
    {
        (void)x;
        (void)y;
    }
};

} // namespace korvanel
