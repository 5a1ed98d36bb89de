// The main dialog on Qt 6 Widgets: the controls of template 102, looked up
// by id, behind the DialogWindow operations that CClearDlg uses. Every user
// action and every tick goes to CClearDlg::Dispatch as the window message
// Win32 would have sent.
#pragma once

#include <QDialog>
#include <QUrl>
#include <functional>
#include <map>
#include <string>

#include "clear_dlg.h"
#include "dialog_window.h"

class QCompleter;
class QMenu;

namespace korvanel {

class QtClearDialog : public QDialog, public DialogWindow {
public:
    explicit QtClearDialog(QWidget* parent = nullptr);

    // The dialog logic this window reports to; set before RunModal.
    void attach(CClearDlg* dlg) { dlg_ = dlg; }
    // OnInitDialog, and the focus to the first tab stop when it asks for it.
    void InitDialog();
    // InitDialog, then the modal loop. The dialog's result.
    int RunModal();

    // The control with template id `id`, or nullptr.
    QWidget* control(int id) const;
    // The context menu the About item lives in.
    QMenu* contextMenu() const { return menu_; }
    // The serial ports offered while the port field is typed in: those of
    // `korvanel-clear --list-ports`, read again on every edit because USB
    // adapters come and go. Tests point it at a device tree of their own.
    QCompleter* portCompleter() const { return portCompleter_; }
    void setDeviceRoot(const std::string& root) { deviceRoot_ = root; }
    // What shows the help: the desktop's viewer (QDesktopServices) unless a
    // test watches the request instead.
    using HelpLauncher = std::function<bool(const QUrl&)>;
    void setHelpLauncher(HelpLauncher launcher) { helpLauncher_ = std::move(launcher); }

    // DialogWindow.
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
    std::string helpPath() const override;
    bool openHelp(const std::string& path) override;
    void postClearTick() override;
    bool handleWaitingEvents() override;

    // Every ending (close box, Esc, Enter) cancels a connect under way first.
    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

private:
    void Dispatch(const DialogMessage& msg);
    void CreateControls();
    void AttachPortCompleter();
    void RefreshPortCompletions();

    CClearDlg* dlg_ = nullptr;
    std::map<int, QWidget*> controls_;
    QMenu* menu_ = nullptr;
    QCompleter* portCompleter_ = nullptr;
    std::string deviceRoot_ = "/dev";
    HelpLauncher helpLauncher_;
};

// The window icon, icon 128, in both sizes.
QIcon ApplicationIcon();

} // namespace korvanel
