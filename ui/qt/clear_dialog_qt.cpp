#include "clear_dialog_qt.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStringListModel>

#include "about_dlg.h"
#include "dialog_template.h"
#include "resource.h"
#include "serial_port.h"

namespace korvanel {

namespace {

QString Q(const std::string& text)
{
    return QString::fromStdString(text);
}

// The icon bits of a message box type.
constexpr unsigned MB_ICON_MASK = 0xF0;

QMessageBox::Icon IconFor(unsigned type)
{
    switch (type & MB_ICON_MASK) {
    case MB_TYPE_ICON_EXCLAMATION: return QMessageBox::Warning;
    case MB_TYPE_ICON_INFORMATION: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

} // namespace

QIcon ApplicationIcon()
{
    QIcon icon;
    icon.addFile(":/korvanel/korvanel.png", QSize(32, 32));
    icon.addFile(":/korvanel/korvanel-16.png", QSize(16, 16));
    return icon;
}

QtClearDialog::QtClearDialog(QWidget* parent)
    // The frame template 102's style asks for: a title and a close box; no
    // minimise or maximise box and no help button.
    : QDialog(parent, DialogWindowFlags(MAIN_DIALOG_STYLE))
{
    setWindowTitle(MAIN_DIALOG_CAPTION);
    CreateControls();
    AttachPortCompleter();
}

void QtClearDialog::AttachPortCompleter()
{
    auto* edit = qobject_cast<QLineEdit*>(control(IDC_PORT_NAME));
    if (!edit)
        return;
    portCompleter_ = new QCompleter(new QStringListModel(this), this);
    // "usb" finds both /dev/ttyUSB0 and /dev/serial/by-id/usb-...: nobody
    // types the /dev/ in front to get there.
    portCompleter_->setFilterMode(Qt::MatchContains);
    portCompleter_->setCaseSensitivity(Qt::CaseInsensitive);
    portCompleter_->setCompletionMode(QCompleter::PopupCompletion);
    edit->setCompleter(portCompleter_);
    RefreshPortCompletions();
    // Only the user's edits: the text the dialog sets itself offers nothing.
    connect(edit, &QLineEdit::textEdited, this, [this] { RefreshPortCompletions(); });
}

void QtClearDialog::RefreshPortCompletions()
{
    QStringList ports;
    for (const std::string& port : SerialPort::ListPorts(deviceRoot_))
        ports << Q(port);
    auto* model = static_cast<QStringListModel*>(portCompleter_->model());
    if (model->stringList() == ports)
        return;
    model->setStringList(ports);
    // The field has already offered the old list for this keystroke.
    auto* edit = qobject_cast<QLineEdit*>(control(IDC_PORT_NAME));
    if (edit->hasFocus() && !edit->text().isEmpty()) {
        portCompleter_->setCompletionPrefix(edit->text());
        portCompleter_->complete();
    }
}

void QtClearDialog::CreateControls()
{
    const QFont font = DialogFont();
    setFont(font);
    const DialogBaseUnits base = BaseUnitsOf(font);
    setFixedSize(
        DialogUnitsToPixels(QRect(0, 0, MAIN_DIALOG_WIDTH_DU, MAIN_DIALOG_HEIGHT_DU), base).size());

    QWidget* previousTabStop = nullptr;
    for (int i = 0; i < MAIN_DIALOG_CONTROL_COUNT; ++i) {
        const ControlTemplate& t = MAIN_DIALOG_CONTROLS[i];
        const QString text = QString::fromUtf8(t.text);
        QWidget* widget = nullptr;
        switch (t.kind) {
        case ControlKind::Static: {
            auto* label = new QLabel(text, this);
            label->setTextFormat(Qt::PlainText);
            label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
            widget = label;
            break;
        }
        case ControlKind::Edit: widget = new QLineEdit(text, this); break;
        case ControlKind::MultiLineEdit: {
            auto* edit = new QPlainTextEdit(text, this);
            edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
            widget = edit;
            break;
        }
        case ControlKind::ComboBox: {
            // Drop-down with an edit field, sorted; the template's height is
            // that of the opened list.
            auto* combo = new QComboBox(this);
            combo->setEditable(true);
            combo->setInsertPolicy(QComboBox::InsertAlphabetically);
            connect(combo, QOverload<int>::of(&QComboBox::activated), this,
                    [this, id = t.id] { Dispatch(CommandMessage(id, NOTIFY_CBN_SELCHANGE)); });
            widget = combo;
            break;
        }
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = new QPushButton(text, this);
            // Enter is the dialog's, as in a dialog without a default button.
            button->setAutoDefault(false);
            connect(button, &QPushButton::clicked, this,
                    [this, id = t.id] { Dispatch(CommandMessage(id, NOTIFY_BN_CLICKED)); });
            widget = button;
            break;
        }
        case ControlKind::CheckBox: widget = new QCheckBox(text, this); break;
        case ControlKind::Icon: widget = new QLabel(this); break;
        }
        widget->setObjectName(QString("control%1").arg(t.id));
        QRect rect = DialogUnitsToPixels(QRect(t.x, t.y, t.width, t.height), base);
        if (t.kind == ControlKind::ComboBox)
            rect.setHeight(widget->sizeHint().height());
        widget->setGeometry(rect);
        widget->setEnabled(t.enabled);
        if (!t.visible)
            widget->setVisible(false);
        if (t.tabStop) {
            widget->setFocusPolicy(Qt::StrongFocus);
            if (previousTabStop)
                QWidget::setTabOrder(previousTabStop, widget);
            previousTabStop = widget;
        } else {
            widget->setFocusPolicy(Qt::NoFocus);
        }
        controls_[t.id] = widget;
    }
}

void QtClearDialog::InitDialog()
{
    if (dlg_ && dlg_->OnInitDialog()) {
        if (QWidget* first = control(IDC_PORT_NAME))
            first->setFocus();
    }
}

int QtClearDialog::RunModal()
{
    InitDialog();
    return exec();
}

QWidget* QtClearDialog::control(int id) const
{
    auto it = controls_.find(id);
    return it == controls_.end() ? nullptr : it->second;
}

std::string QtClearDialog::controlText(int id) const
{
    QWidget* w = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        return edit->text().toStdString();
    if (auto* text = qobject_cast<QPlainTextEdit*>(w))
        return text->toPlainText().toStdString();
    if (auto* label = qobject_cast<QLabel*>(w))
        return label->text().toStdString();
    if (auto* button = qobject_cast<QAbstractButton*>(w))
        return button->text().toStdString();
    if (auto* combo = qobject_cast<QComboBox*>(w))
        return combo->currentText().toStdString();
    return std::string();
}

void QtClearDialog::setControlText(int id, const std::string& text)
{
    QWidget* w = control(id);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        edit->setText(Q(text));
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        plain->setPlainText(Q(text));
    else if (auto* label = qobject_cast<QLabel*>(w))
        label->setText(Q(text));
    else if (auto* button = qobject_cast<QAbstractButton*>(w))
        button->setText(Q(text));
    else if (auto* combo = qobject_cast<QComboBox*>(w))
        combo->setEditText(Q(text));
}

int QtClearDialog::checkState(int id) const
{
    if (auto* box = qobject_cast<QCheckBox*>(control(id))) {
        switch (box->checkState()) {
        case Qt::Checked: return 1;
        case Qt::PartiallyChecked: return 2;
        default: return 0;
        }
    }
    return 0;
}

void QtClearDialog::setCheckState(int id, int state)
{
    if (auto* box = qobject_cast<QCheckBox*>(control(id))) {
        if (state == 2) {
            box->setTristate(true);
            box->setCheckState(Qt::PartiallyChecked);
        } else {
            box->setCheckState(state == 1 ? Qt::Checked : Qt::Unchecked);
        }
    }
}

void QtClearDialog::enableControl(int id, bool enable)
{
    if (QWidget* w = control(id))
        w->setEnabled(enable);
}

void QtClearDialog::focusAndSelectAll(int id)
{
    QWidget* w = control(id);
    if (!w)
        return;
    w->setFocus(Qt::OtherFocusReason);
    if (auto* edit = qobject_cast<QLineEdit*>(w))
        edit->selectAll();
    else if (auto* plain = qobject_cast<QPlainTextEdit*>(w))
        plain->selectAll();
}

int QtClearDialog::comboSelection(int id) const
{
    if (auto* combo = qobject_cast<QComboBox*>(control(id)))
        return combo->currentIndex();
    return -1;
}

void QtClearDialog::setTitle(const std::string& title)
{
    setWindowTitle(Q(title));
}

void QtClearDialog::setIcons()
{
    setWindowIcon(ApplicationIcon());
}

void QtClearDialog::addAboutMenuItem(const std::string& text)
{
    if (!menu_)
        menu_ = new QMenu(this);
    menu_->addSeparator();
    QAction* about = menu_->addAction(Q(text));
    connect(about, &QAction::triggered, this, [this] {
        DialogMessage msg;
        msg.message = MSG_SYSCOMMAND;
        msg.wParam = IDM_ABOUTBOX;
        Dispatch(msg);
    });
}

void QtClearDialog::messageBox(const std::string& text, const std::string& caption, unsigned type)
{
    QMessageBox box(IconFor(type), Q(caption), Q(text), QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

void QtClearDialog::showAboutBox()
{
    CAboutDlg about(this);
    about.exec();
}

std::string QtClearDialog::helpPath() const
{
    // Installed, the README is in the package's documents beside bin/
    // (/usr/share/doc/korvanel/README.md); in the build tree the build puts
    // a copy beside the program.
    const QDir programDir(QCoreApplication::applicationDirPath());
    const QString installed =
        QDir::cleanPath(programDir.filePath("../share/doc/korvanel/README.md"));
    const QString inBuildTree = programDir.filePath("README.md");
    if (!QFileInfo::exists(installed) && QFileInfo::exists(inBuildTree))
        return inBuildTree.toStdString();
    return installed.toStdString();
}

bool QtClearDialog::openHelp(const std::string& path)
{
    if (!QFileInfo::exists(Q(path)))
        return false;
    const QUrl url = QUrl::fromLocalFile(Q(path));
    return helpLauncher_ ? helpLauncher_(url) : QDesktopServices::openUrl(url);
}

std::string QtClearDialog::applicationTitle() const
{
    // The file itself, not a link to it: a copy under another name shows
    // that name.
    return QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName().toStdString();
}

void QtClearDialog::postClearTick()
{
    // Called on the poll thread. A queued call is delivered by whichever
    // event loop the UI thread is in, including that of an open message box.
    QMetaObject::invokeMethod(
        this,
        [this] {
            DialogMessage tick;
            tick.message = WM_CLEAR_TICK;
            tick.wParam = WM_CLEAR_TICK_WPARAM;
            tick.lParam = WM_CLEAR_TICK_LPARAM;
            Dispatch(tick);
        },
        Qt::QueuedConnection);
}

bool QtClearDialog::handleWaitingEvents()
{
    // Input too: the press that cancels and the close box must get through.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    return true;
}

void QtClearDialog::done(int result)
{
    if (dlg_)
        dlg_->OnWindowClosing();
    QDialog::done(result);
}

void QtClearDialog::keyPressEvent(QKeyEvent* event)
{
    // F1 is the Help command, as the framework's dialogs send it; the
    // controls pass it on to here.
    if (event->key() == Qt::Key_F1 && event->modifiers() == Qt::NoModifier) {
        Dispatch(CommandMessage(ID_HELP, NOTIFY_BN_CLICKED));
        return;
    }
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
        // A focused button takes Enter as a press; anywhere else it is OK,
        // which ends the dialog only if the fields are accepted.
        if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
            button->click();
            return;
        }
        if (!dlg_ || dlg_->OnOK())
            accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void QtClearDialog::contextMenuEvent(QContextMenuEvent* event)
{
    if (menu_)
        menu_->exec(event->globalPos());
}

void QtClearDialog::Dispatch(const DialogMessage& msg)
{
    if (dlg_)
        dlg_->Dispatch(msg);
}

} // namespace korvanel
