// CClearDlg: the main dialog's logic, written once for every window layer.
// It holds the user's fields, exchanges them with the controls, starts and
// stops runs from its one button, and gives the Clear run (engine/) the
// operations a tick needs. The window layer (DialogWindow) owns the real
// controls and forwards its messages through Dispatch, in the order of the
// message map below.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "clear_run.h"
#include "clear_tick_message.h"
#include "dialog_window.h"
#include "poll_thread.h"
#include "port_factory.h"

namespace korvanel {

// Window message and notification numbers the message map is keyed on, with
// the values of the Win32 API (named apart from <windows.h>'s macros).
enum WindowMessage : unsigned {
    MSG_PAINT = 0x000F,
    MSG_QUERYDRAGICON = 0x0037,
    MSG_COMMAND = 0x0111,
    MSG_SYSCOMMAND = 0x0112,
};
enum CommandNotification : unsigned {
    NOTIFY_BN_CLICKED = 0,
    NOTIFY_CBN_SELCHANGE = 1,
};

// Last selections of the two selectors, process-wide.
std::uint8_t& FunctionIndex();
std::int32_t& ParameterIndex();

// One window message as Win32 delivers it; other layers build the same.
struct DialogMessage {
    unsigned message = 0;
    std::uintptr_t wParam = 0;
    std::intptr_t lParam = 0;
};

// A WM_COMMAND notification from control `id`.
DialogMessage CommandMessage(int id, unsigned notifyCode);

enum class MessageResult {
    Default, // not in the message map: the window's default handling
    Handled,
    DragIcon, // WM_QUERYDRAGICON: the window returns icon 128
};

// Where the minimised icon goes: centred, odd pixels to the right/bottom.
PixelSize MinimisedIconOrigin(PixelSize client, PixelSize icon);

class CClearDlg : public ClearTickOps {
public:
    // `run` is the record the poll thread reads (TheClearRun() in the
    // programs); `ports` gives the port for the name typed at each press.
    // The references must outlive the dialog.
    CClearDlg(DialogWindow& window, PortSource& ports, TickPacer& pacer, ClearRun& run);
    // A dialog that opens `port` whatever name is typed.
    CClearDlg(DialogWindow& window, RunPort& port, TickPacer& pacer, ClearRun& run);

    // The window exists with its controls: sets the defaults and starts the
    // poll thread. True: the window gives focus to the port field.
    bool OnInitDialog();

    // The message map. Default means the window handles it itself.
    MessageResult Dispatch(const DialogMessage& msg);

    // Handlers, reachable through Dispatch.
    void OnSysCommand(unsigned id);
    // True when it painted the minimised icon.
    bool OnPaint();
    void OnClearButton();
    void OnClearTick();
    void OnFunctionSelChange();
    void OnParamSelChange();
    // The Help command (F1): the README in the desktop's viewer, or a box
    // that says where it is.
    void OnHelp();

    // Enter: the fields are read back; true when the dialog may end (IDOK).
    bool OnOK();

    // The port's wait hook while a network open waits (name lookup,
    // connect, negotiation): the button reads Stop, the window handles what
    // is waiting, the user's input too, and false once the button was
    // pressed or the window is closing, which cancels the open.
    bool OnConnectWait();
    // The window is about to end (close box, Esc, Enter): a connect under
    // way is cancelled without a box.
    void OnWindowClosing();

    // Field exchange in both directions; false when a field was refused
    // (its message has been shown and its control has the focus).
    bool UpdateData(bool saveAndValidate);

    // ClearTickOps.
    TickPort& port() override { return *port_; }
    std::uint8_t* rxScratch() override { return rxScratch_; }
    bool exchangeFieldsFromControls() override { return UpdateData(true); }
    std::uint32_t inverterAddress() const override { return inverterAddress_; }
    void setResultText(const std::string& text) override { resultText_ = text; }
    void exchangeFieldsToControls() override { UpdateData(false); }
    void StopRun() override;
    void showResult(const std::string& text) override;

    // The fields, for the window layer and tests.
    const std::string& portName() const { return portName_; }
    std::uint32_t registerAddress() const { return registerAddress_; }
    std::uint32_t lengthOrData() const { return lengthOrData_; }
    const std::string& resultText() const { return resultText_; }
    std::int32_t pollPeriodMs() const { return pollPeriodMs_; }
    std::int32_t readSingleTime() const { return readSingleTime_; }
    const std::string& parameterData() const { return parameterData_; }
    bool controlsAttached() const { return controlsAttached_; }

private:
    enum class ConnectCancel { None, Pressed, Closing };

    // The port named in the field opened; false when no run may start (the
    // reason is shown, unless the window is closing).
    bool openPort();
    void closePort();
    // One rejected field: its message, then focus and selection on it.
    void rejectField(int id, const char* text);
    bool exchangeUnsigned(int id, std::uint32_t& field, bool saveAndValidate);
    void exchangeText(int id, std::string& field, bool saveAndValidate);
    void putText(int id, const std::string& text);

    DialogWindow& window_;
    std::optional<OnePort> onePort_;
    PortSource& ports_;
    // The port of the last press's address.
    RunPort* port_;
    TickPacer& pacer_;
    ClearRun& run_;

    bool pollThreadStarted_ = false;
    // While port_.open() runs: a press then cancels the connect.
    bool connecting_ = false;
    ConnectCancel cancel_ = ConnectCancel::None;
    // The label the button had before a connect that waits showed Stop.
    bool connectShown_ = false;
    std::string labelBeforeConnect_;
    std::uint8_t rxScratch_[RX_SCRATCH_SIZE] = {};
    // The parameter selector, the function selector and the run button are
    // bound to their controls at the first exchange.
    bool controlsAttached_ = false;
    std::string portName_;
    std::uint32_t inverterAddress_ = 0;
    std::uint32_t registerAddress_ = 0;
    std::uint32_t lengthOrData_ = 0;
    std::string resultText_;
    std::int32_t pollPeriodMs_ = 0;
    std::int32_t readSingleTime_ = 0;
    std::string parameterData_;
};

} // namespace korvanel
