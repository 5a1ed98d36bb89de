#include "clear_dlg.h"

#include "number_rules.h"
#include "resource.h"

namespace korvanel {

std::uint8_t& FunctionIndex()
{
    static std::uint8_t index = 0;
    return index;
}

std::int32_t& ParameterIndex()
{
    static std::int32_t index = 0;
    return index;
}

DialogMessage CommandMessage(int id, unsigned notifyCode)
{
    DialogMessage msg;
    msg.message = MSG_COMMAND;
    // WM_COMMAND: control id in the low word, notification in the high word.
    msg.wParam = (static_cast<std::uintptr_t>(notifyCode & 0xFFFFu) << 16) |
                 (static_cast<std::uintptr_t>(id) & 0xFFFFu);
    return msg;
}

PixelSize MinimisedIconOrigin(PixelSize client, PixelSize icon)
{
    // C++ division truncates toward zero, as the placement always has.
    return {(client.width - icon.width + 1) / 2, (client.height - icon.height + 1) / 2};
}

namespace {

// The function selector's indices 3 and 4 are the parameter operations.
constexpr int FUNCTION_READ_PARAMETER = 3;
constexpr int FUNCTION_WRITE_PARAMETER = 4;
// System command ids keep their low four bits for the system's own use.
constexpr unsigned SYSCOMMAND_ID_MASK = 0xFFF0;
// Check states a check box can hold: clear, checked, indeterminate.
constexpr std::int32_t CHECK_STATE_MAX = 2;

struct MessageMapEntry {
    unsigned message;
    // For MSG_COMMAND only: which control and which notification.
    int controlId;
    unsigned notifyCode;
    MessageResult (*handler)(CClearDlg& dlg, const DialogMessage& msg);
};

// An entry whose handler takes nothing from the message and always
// handles it.
template <void (CClearDlg::*Handler)()>
MessageResult Handle(CClearDlg& dlg, const DialogMessage&)
{
    (dlg.*Handler)();
    return MessageResult::Handled;
}

// In this order; the first entry that matches handles the message.
const MessageMapEntry MESSAGE_MAP[] = {
    {MSG_SYSCOMMAND, 0, 0,
     [](CClearDlg& dlg, const DialogMessage& msg) {
         const unsigned id = static_cast<unsigned>(msg.wParam);
         if ((id & SYSCOMMAND_ID_MASK) != IDM_ABOUTBOX)
             return MessageResult::Default;
         dlg.OnSysCommand(id);
         return MessageResult::Handled;
     }},
    {MSG_PAINT, 0, 0,
     [](CClearDlg& dlg, const DialogMessage&) {
         return dlg.OnPaint() ? MessageResult::Handled : MessageResult::Default;
     }},
    {MSG_QUERYDRAGICON, 0, 0,
     [](CClearDlg&, const DialogMessage&) { return MessageResult::DragIcon; }},
    {MSG_COMMAND, IDC_RUN_BUTTON, NOTIFY_BN_CLICKED, Handle<&CClearDlg::OnClearButton>},
    {WM_CLEAR_TICK, 0, 0, Handle<&CClearDlg::OnClearTick>},
    {MSG_COMMAND, IDC_FUNCTION_SELECTOR, NOTIFY_CBN_SELCHANGE,
     Handle<&CClearDlg::OnFunctionSelChange>},
    {MSG_COMMAND, IDC_PARAM_SELECTOR, NOTIFY_CBN_SELCHANGE, Handle<&CClearDlg::OnParamSelChange>},
    {MSG_COMMAND, ID_HELP, NOTIFY_BN_CLICKED, Handle<&CClearDlg::OnHelp>},
};

} // namespace

CClearDlg::CClearDlg(DialogWindow& window, PortSource& ports, TickPacer& pacer, ClearRun& run)
    : window_(window), ports_(ports), port_(&ports.current()), pacer_(pacer), run_(run)
{}

CClearDlg::CClearDlg(DialogWindow& window, RunPort& port, TickPacer& pacer, ClearRun& run)
    : window_(window), onePort_(std::in_place, port), ports_(*onePort_), port_(&port),
      pacer_(pacer), run_(run)
{}

bool CClearDlg::OnInitDialog()
{
    // The window's own initialisation: the construction values go into the
    // controls, which also binds the control objects.
    UpdateData(false);

    // The About item's text is a constant, never empty: it is always added.
    window_.addAboutMenuItem(TEXT_ABOUT_MENU_ITEM);
    window_.setIcons();
    window_.setTitle(TEXT_DIALOG_TITLE);

    run_.setState(Idle);
    run_.setPeriod(DEFAULT_POLL_PERIOD_MS);
    pollPeriodMs_ = DEFAULT_POLL_PERIOD_MS;
    portName_ = DEFAULT_PORT_NAME;
    inverterAddress_ = 1;
    registerAddress_ = 0;
    lengthOrData_ = 1;
    port_->close();
    UpdateData(false);

    // The thread is started once and lives until the process ends.
    if (!pollThreadStarted_) {
        DialogWindow& window = window_;
        pollThreadStarted_ = pacer_.start(run_, [&window] { window.postClearTick(); });
        if (!pollThreadStarted_)
            window_.messageBox(TEXT_THREAD_FAIL, TEXT_THREAD_FAIL_CAPTION,
                               MB_TYPE_OK | MB_TYPE_ICON_INFORMATION);
    }
    return true;
}

MessageResult CClearDlg::Dispatch(const DialogMessage& msg)
{
    const int controlId = static_cast<int>(msg.wParam & 0xFFFFu);
    const unsigned notifyCode = static_cast<unsigned>((msg.wParam >> 16) & 0xFFFFu);
    for (const MessageMapEntry& entry : MESSAGE_MAP) {
        if (entry.message != msg.message)
            continue;
        if (entry.message == MSG_COMMAND &&
            (entry.controlId != controlId || entry.notifyCode != notifyCode))
            continue;
        return entry.handler(*this, msg);
    }
    return MessageResult::Default;
}

void CClearDlg::OnSysCommand(unsigned id)
{
    if ((id & SYSCOMMAND_ID_MASK) == IDM_ABOUTBOX)
        window_.showAboutBox();
}

bool CClearDlg::OnPaint()
{
    if (!window_.isMinimised())
        return false;
    const PixelSize origin = MinimisedIconOrigin(window_.clientSize(), window_.iconSize());
    window_.drawIcon(origin.width, origin.height);
    return true;
}

void CClearDlg::OnClearButton()
{
    // The wait of a network open hands the user's input on, so a press can
    // arrive inside the open: it cancels that connect, and never reaches a
    // second open nor closes the socket under the one waiting.
    if (connecting_) {
        if (cancel_ == ConnectCancel::None)
            cancel_ = ConnectCancel::Pressed;
        return;
    }
    // The label is not consulted: an open port (left by a settings failure)
    // or a live run makes this press a stop.
    if (port_->isOpen() || run_.state() != Idle) {
        StopRun();
        return;
    }
    // A refused field must not start a run: it would go to the address of
    // the previous run, an inverter the user did not choose.
    if (!UpdateData(true))
        return;
    run_.setPeriod(pollPeriodMs_);

    if (!openPort())
        return;
    run_.setState(Armed);
    window_.setControlText(IDC_RUN_BUTTON, TEXT_BUTTON_STOP);
    resultText_.clear();
    UpdateData(false);
}

bool CClearDlg::OnConnectWait()
{
    if (!connecting_)
        return true;
    if (!connectShown_) {
        // The open waits: the button is now the way to cancel it.
        labelBeforeConnect_ = window_.controlText(IDC_RUN_BUTTON);
        window_.setControlText(IDC_RUN_BUTTON, TEXT_BUTTON_STOP);
        connectShown_ = true;
    }
    if (!window_.handleWaitingEvents())
        OnWindowClosing();
    return cancel_ == ConnectCancel::None;
}

void CClearDlg::OnWindowClosing()
{
    if (connecting_)
        cancel_ = ConnectCancel::Closing;
}

void CClearDlg::OnClearTick()
{
    korvanel::OnClearTick(run_, *this);
}

void CClearDlg::OnFunctionSelChange()
{
    const int index = window_.comboSelection(IDC_FUNCTION_SELECTOR);
    FunctionIndex() = static_cast<std::uint8_t>(index & 0xFF);
    const bool parameterOperation =
        index == FUNCTION_READ_PARAMETER || index == FUNCTION_WRITE_PARAMETER;
    if (parameterOperation) {
        window_.enableControl(IDC_PARAM_SELECTOR, true);
        window_.enableControl(IDC_PARAMETER_DATA, index == FUNCTION_WRITE_PARAMETER);
        window_.enableControl(IDC_REGISTER_ADDRESS, false);
        window_.enableControl(IDC_LENGTH_OR_DATA, false);
    } else {
        window_.enableControl(IDC_PARAM_SELECTOR, false);
        window_.enableControl(IDC_PARAMETER_DATA, false);
        window_.enableControl(IDC_REGISTER_ADDRESS, true);
        window_.enableControl(IDC_LENGTH_OR_DATA, true);
    }
}

void CClearDlg::OnParamSelChange()
{
    ParameterIndex() = window_.comboSelection(IDC_PARAM_SELECTOR);
}

void CClearDlg::OnHelp()
{
    // The old help file format is gone from current systems; the README,
    // shipped beside the programs, is the help now.
    const std::string path = window_.helpPath();
    if (window_.openHelp(path))
        return;
    window_.messageBox(std::string(TEXT_HELP_NOT_OPENED) + "\n" + path, window_.applicationTitle(),
                       MB_TYPE_OK | MB_TYPE_ICON_INFORMATION);
}

bool CClearDlg::OnOK()
{
    return UpdateData(true);
}

bool CClearDlg::UpdateData(bool saveAndValidate)
{
    controlsAttached_ = true;

    exchangeText(IDC_PORT_NAME, portName_, saveAndValidate);
    if (!exchangeUnsigned(IDC_INVERTER_ADDRESS, inverterAddress_, saveAndValidate))
        return false;
    if (!exchangeUnsigned(IDC_REGISTER_ADDRESS, registerAddress_, saveAndValidate))
        return false;
    if (!exchangeUnsigned(IDC_LENGTH_OR_DATA, lengthOrData_, saveAndValidate))
        return false;
    exchangeText(IDC_RESULT_TEXT, resultText_, saveAndValidate);

    if (saveAndValidate) {
        std::int32_t period = pollPeriodMs_;
        if (!ParseSignedField(window_.controlText(IDC_POLL_PERIOD), period)) {
            rejectField(IDC_POLL_PERIOD, TEXT_NEED_INTEGER);
            return false;
        }
        pollPeriodMs_ = period;
        readSingleTime_ = window_.checkState(IDC_READ_SINGLE_TIME);
    } else {
        putText(IDC_POLL_PERIOD, FormatSignedField(pollPeriodMs_));
        if (readSingleTime_ < 0 || readSingleTime_ > CHECK_STATE_MAX)
            readSingleTime_ = 0;
        window_.setCheckState(IDC_READ_SINGLE_TIME, readSingleTime_);
    }

    exchangeText(IDC_PARAMETER_DATA, parameterData_, saveAndValidate);
    return true;
}

void CClearDlg::StopRun()
{
    closePort();
    run_.setState(Idle);
    window_.setControlText(IDC_RUN_BUTTON, TEXT_BUTTON_START);
}

void CClearDlg::showResult(const std::string& text)
{
    window_.messageBox(text, TEXT_RESULT_CAPTION, MB_TYPE_OK);
}

bool CClearDlg::openPort()
{
    PortAddress address;
    std::string error;
    if (!ParsePortAddress(portName_, address, error)) {
        window_.messageBox(std::string(PortOpenFailureText(PortOpenResult::OpenFailed)) + ": " +
                               error,
                           TEXT_ERROR_CAPTION, MB_TYPE_OK);
        return false;
    }
    port_ = &ports_.portFor(address);
    connecting_ = true;
    cancel_ = ConnectCancel::None;
    connectShown_ = false;
    const PortOpenResult opened = port_->open(address);
    connecting_ = false;
    const ConnectCancel cancel = cancel_;
    cancel_ = ConnectCancel::None;
    if (opened == PortOpenResult::Ok && cancel == ConnectCancel::None)
        return true;

    if (connectShown_)
        window_.setControlText(IDC_RUN_BUTTON, labelBeforeConnect_);
    // A press that came as the connect completed still cancels it: the
    // user saw Stop and pressed it.
    const bool cancelledAfterOpen = opened == PortOpenResult::Ok;
    if (cancelledAfterOpen)
        closePort();
    if (cancel == ConnectCancel::Closing)
        return false;
    // A network port says why ("Connecting to ...: Connection refused");
    // a serial port's box keeps its one line. A cancel is told too: a
    // double press would otherwise end the clear with nothing to see.
    std::string text =
        PortOpenFailureText(cancelledAfterOpen ? PortOpenResult::OpenFailed : opened);
    const PortStatus status = port_->status();
    const std::string reason = cancelledAfterOpen ? TEXT_CONNECT_CANCELLED
                               : status.reason == PortStatus::Reason::ConnectFailed ? status.text
                                                                                    : "";
    if (!reason.empty())
        text += ": " + reason;
    window_.messageBox(text, TEXT_ERROR_CAPTION, MB_TYPE_OK);
    return false;
}

void CClearDlg::closePort()
{
    if (!port_->isOpen())
        return;
    // Idle first, so the poll thread posts no further ticks for this run.
    run_.setState(Idle);
    port_->close();
    run_.txLength = 0;
}

void CClearDlg::rejectField(int id, const char* text)
{
    window_.messageBox(text, window_.applicationTitle(), MB_TYPE_OK | MB_TYPE_ICON_EXCLAMATION);
    window_.focusAndSelectAll(id);
}

bool CClearDlg::exchangeUnsigned(int id, std::uint32_t& field, bool saveAndValidate)
{
    if (!saveAndValidate) {
        putText(id, FormatUnsignedField(field));
        return true;
    }
    std::uint32_t value = field;
    if (!ParseUnsignedField(window_.controlText(id), value)) {
        rejectField(id, TEXT_NEED_UNSIGNED);
        return false;
    }
    // Only one byte of address goes on the wire; a larger number would reach
    // a different inverter (300 would write to inverter 44).
    if (id == IDC_INVERTER_ADDRESS && value > MAX_INVERTER_ADDRESS) {
        rejectField(id, TEXT_NEED_ADDRESS_RANGE);
        return false;
    }
    field = value;
    return true;
}

void CClearDlg::exchangeText(int id, std::string& field, bool saveAndValidate)
{
    if (saveAndValidate)
        field = window_.controlText(id);
    else
        putText(id, field);
}

void CClearDlg::putText(int id, const std::string& text)
{
    // Rewriting an unchanged text would move the caret and the selection of
    // a field the user may be typing in.
    if (window_.controlText(id) != text)
        window_.setControlText(id, text);
}

} // namespace korvanel
