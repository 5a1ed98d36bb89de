#include "clear_dlg.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dialog_fakes.h"
#include "resource.h"
#include "retry_schedule.h"

namespace korvanel {
namespace {

using namespace fakes;

const Bytes kRequestTo1 = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};

class ClearDialog : public ::testing::Test {
protected:
    RecordingWindow window;
    FakePort port;
    FakePacer pacer;
    ClearRun run;
    CClearDlg dlg{window, port, pacer, run};

    void Init()
    {
        ASSERT_TRUE(dlg.OnInitDialog());
        window.textWrites.clear();
    }
    void Press() { dlg.Dispatch(CommandMessage(IDC_RUN_BUTTON, NOTIFY_BN_CLICKED)); }
    void Tick()
    {
        DialogMessage tick;
        tick.message = WM_CLEAR_TICK;
        tick.wParam = WM_CLEAR_TICK_WPARAM;
        tick.lParam = WM_CLEAR_TICK_LPARAM;
        dlg.Dispatch(tick);
    }
    std::string Label() { return window.controlText(IDC_RUN_BUTTON); }
};

TEST_F(ClearDialog, InitialisationShowsTheDefaults)
{
    window.texts[IDC_RUN_BUTTON] = "Clear";  // from the template
    Init();

    const std::map<int, std::string> expected = {
        {IDC_PORT_NAME, "COM1"},      {IDC_INVERTER_ADDRESS, "1"}, {IDC_REGISTER_ADDRESS, "0"},
        {IDC_LENGTH_OR_DATA, "1"},    {IDC_RESULT_TEXT, ""},       {IDC_POLL_PERIOD, "1000"},
        {IDC_PARAMETER_DATA, ""},     {IDC_RUN_BUTTON, "Clear"},
    };
    for (const auto& [id, text] : expected)
        EXPECT_EQ(window.controlText(id), text) << "control " << id;
    EXPECT_EQ(window.checkState(IDC_READ_SINGLE_TIME), 0);
    EXPECT_EQ(window.title, "Korvanel V1.0");
    EXPECT_EQ(window.aboutItems, std::vector<std::string>{"&About Korvanel..."});
    EXPECT_EQ(window.iconSets, 1);
    EXPECT_TRUE(window.boxes.empty());
    EXPECT_EQ(run.state(), Idle);
    EXPECT_EQ(run.period(), 1000);
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(dlg.controlsAttached());

    // The poll thread's ticks reach the window's queue, not the run directly.
    ASSERT_EQ(pacer.starts, 1);
    pacer.postTick();
    EXPECT_EQ(window.postedTicks, 1);
}

TEST_F(ClearDialog, AThreadThatCannotStartIsReportedAndTheDialogCarriesOn)
{
    pacer.startSucceeds = false;
    Init();
    EXPECT_EQ(window.boxes, (std::vector<Box>{{"Create Thread Faile.", "Ruzu", 0x40}}));
    EXPECT_EQ(window.title, "Korvanel V1.0");
    Press();
    EXPECT_EQ(Label(), "Stop");
}

struct AddressCase {
    const char* typed;
    const char* message;  // nullptr: accepted
    std::uint8_t addressOnWire;
};

TEST_F(ClearDialog, TheAddressFieldDecidesWhichInverterIsWritten)
{
    const AddressCase cases[] = {
        {" 7 ", nullptr, 7},
        {"0", nullptr, 0},
        {"+5", nullptr, 5},
        {"255", nullptr, 255},
        {"-7", "Please enter a positive integer.", 0},
        {"7x", "Please enter a positive integer.", 0},
        {"abc", "Please enter a positive integer.", 0},
        {"", "Please enter a positive integer.", 0},
        {"256", "Please enter an integer between 0 and 255.", 0},
        {"300", "Please enter an integer between 0 and 255.", 0},
        {"4294967296", "Please enter an integer between 0 and 255.", 0},
    };
    for (const AddressCase& c : cases) {
        RecordingWindow w;
        FakePort p;
        FakePacer pc;
        ClearRun r;
        CClearDlg d(w, p, pc, r);
        ASSERT_TRUE(d.OnInitDialog());
        w.texts[IDC_INVERTER_ADDRESS] = c.typed;
        d.OnClearButton();
        d.OnClearTick();
        if (c.message) {
            EXPECT_EQ(w.boxes, (std::vector<Box>{{c.message, "korvanel", 0x30}})) << c.typed;
            EXPECT_EQ(w.focused, std::vector<int>{IDC_INVERTER_ADDRESS}) << c.typed;
            // Nothing was opened and nothing went on the wire.
            EXPECT_TRUE(p.opened.empty()) << c.typed;
            EXPECT_TRUE(p.writes.empty()) << c.typed;
            EXPECT_EQ(r.state(), Idle) << c.typed;
        } else {
            EXPECT_TRUE(w.boxes.empty()) << c.typed;
            ASSERT_EQ(p.writes.size(), 1u) << c.typed;
            EXPECT_EQ(p.writes[0][0], c.addressOnWire) << c.typed;
        }
    }
}

struct RejectCase {
    int control;
    const char* typed;
    const char* message;
};

TEST_F(ClearDialog, ARefusedFieldStopsTheExchangeThere)
{
    const RejectCase cases[] = {
        {IDC_REGISTER_ADDRESS, "x", "Please enter a positive integer."},
        {IDC_LENGTH_OR_DATA, "-1", "Please enter a positive integer."},
        {IDC_POLL_PERIOD, "1s", "Please enter an integer."},
        {IDC_POLL_PERIOD, "", "Please enter an integer."},
    };
    for (const RejectCase& c : cases) {
        RecordingWindow w;
        FakePort p;
        FakePacer pc;
        ClearRun r;
        CClearDlg d(w, p, pc, r);
        ASSERT_TRUE(d.OnInitDialog());
        // Every field changed; the refused one sits in the middle.
        w.texts[IDC_PORT_NAME] = "ttyUSB0";
        w.texts[IDC_INVERTER_ADDRESS] = "9";
        w.texts[IDC_REGISTER_ADDRESS] = "3";
        w.texts[IDC_LENGTH_OR_DATA] = "4";
        w.texts[IDC_RESULT_TEXT] = "typed";
        w.texts[IDC_POLL_PERIOD] = "50";
        w.texts[IDC_PARAMETER_DATA] = "pd";
        w.texts[c.control] = c.typed;

        EXPECT_FALSE(d.UpdateData(true)) << c.typed;
        EXPECT_EQ(w.boxes, (std::vector<Box>{{c.message, "korvanel", 0x30}})) << c.typed;
        EXPECT_EQ(w.focused, std::vector<int>{c.control});
        // Fields before the refused one were taken...
        EXPECT_EQ(d.portName(), "ttyUSB0");
        EXPECT_EQ(d.inverterAddress(), 9u);
        // ...it and the later ones kept their old values.
        EXPECT_EQ(d.parameterData(), "");
        if (c.control == IDC_REGISTER_ADDRESS) {
            EXPECT_EQ(d.registerAddress(), 0u);
        }
        if (c.control == IDC_POLL_PERIOD) {
            EXPECT_EQ(d.lengthOrData(), 4u);
            EXPECT_EQ(d.resultText(), "typed");
            EXPECT_EQ(d.pollPeriodMs(), 1000);
        }
    }
}

TEST_F(ClearDialog, TheButtonReadsStopDuringARunAndStartAfterIt)
{
    window.texts[IDC_RUN_BUTTON] = "Clear";
    Init();
    EXPECT_EQ(Label(), "Clear");

    Press();
    EXPECT_EQ(Label(), "Stop");
    EXPECT_EQ(port.opened, std::vector<std::string>{"COM1"});
    EXPECT_EQ(run.state(), Armed);
    Tick();
    EXPECT_EQ(port.writes, std::vector<Bytes>{kRequestTo1});

    // A press during the run stops it: port closed, no box, nothing more sent.
    Press();
    EXPECT_EQ(Label(), "Start");
    EXPECT_EQ(port.closes, 1);
    EXPECT_EQ(run.state(), Idle);
    EXPECT_TRUE(window.boxes.empty());
    Tick();  // one still queued
    EXPECT_EQ(port.writes.size(), 1u);
    EXPECT_TRUE(window.boxes.empty());

    Press();
    EXPECT_EQ(Label(), "Stop");
    EXPECT_EQ(port.opened.size(), 2u);
}

TEST_F(ClearDialog, AReplyEndsTheRunWithClearOk)
{
    Init();
    window.texts[IDC_POLL_PERIOD] = "20";
    Press();
    EXPECT_EQ(run.period(), 20);
    EXPECT_EQ(window.controlText(IDC_RESULT_TEXT), "");
    Tick();                              // Armed: request out
    port.arrivals.push_back(kRequestTo1);  // the inverter echoes it
    Tick();
    EXPECT_EQ(window.boxes, (std::vector<Box>{{"!!--Clear OK--!!", "Result", 0}}));
    EXPECT_EQ(Label(), "Start");
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(run.state(), Idle);
    EXPECT_EQ(port.writes.size(), 1u);
}

TEST_F(ClearDialog, ASilentInverterEndsTheRunWithOperationFailAfterFourRequests)
{
    Init();
    Press();
    for (int i = 0; i < schedule::FAILURE_TICK; ++i)
        Tick();
    EXPECT_EQ(window.boxes, (std::vector<Box>{{"!!--Operation Fail--!!", "Result", 0}}));
    EXPECT_EQ(port.writes, std::vector<Bytes>(schedule::REQUEST_TICKS.size(), kRequestTo1));
    EXPECT_EQ(Label(), "Start");
    EXPECT_FALSE(port.isOpen());
}

TEST_F(ClearDialog, TextTypedDuringARunIsReplacedAtTheNextWaitingTick)
{
    Init();
    Press();
    Tick();
    window.texts[IDC_INVERTER_ADDRESS] = "42";
    Tick();
    EXPECT_EQ(window.controlText(IDC_INVERTER_ADDRESS), "1");
    EXPECT_EQ(window.controlText(IDC_RESULT_TEXT), "!!--Rspone or Set Error--!!");
}

TEST_F(ClearDialog, AnAddressRefusedAtTheFirstTickStopsTheRunBeforeAnythingIsSent)
{
    Init();
    Press();
    window.texts[IDC_INVERTER_ADDRESS] = "abc";
    Tick();
    EXPECT_EQ(window.boxes,
              (std::vector<Box>{{"Please enter a positive integer.", "korvanel", 0x30}}));
    EXPECT_TRUE(port.writes.empty());
    EXPECT_EQ(Label(), "Start");
    EXPECT_FALSE(port.isOpen());
}

TEST_F(ClearDialog, TicksArrivingWhileTheResultBoxIsOpenDoNothing)
{
    Init();
    Press();
    Tick();
    port.arrivals.push_back(kRequestTo1);
    int nested = 0;
    window.whileBoxOpen = [&] {
        ++nested;
        Tick();
        Tick();
    };
    Tick();
    EXPECT_EQ(nested, 1);
    EXPECT_EQ(window.boxes.size(), 1u);
    EXPECT_EQ(port.writes.size(), 1u);
}

struct OpenFailureCase {
    PortOpenResult result;
    const char* text;
    bool leftOpen;
};

TEST_F(ClearDialog, PortFailuresAreShownAndStartNothing)
{
    const OpenFailureCase cases[] = {
        {PortOpenResult::OpenFailed, "COM Open Fail", false},
        {PortOpenResult::SettingFailed, "COM Setting Fail!!", true},
        {PortOpenResult::MaskFailed, "COM Mask Set Fail", true},
    };
    for (const OpenFailureCase& c : cases) {
        RecordingWindow w;
        FakePort p;
        FakePacer pc;
        ClearRun r;
        CClearDlg d(w, p, pc, r);
        ASSERT_TRUE(d.OnInitDialog());
        w.texts[IDC_RUN_BUTTON] = "Clear";
        p.openResult = c.result;
        d.OnClearButton();
        EXPECT_EQ(w.boxes, (std::vector<Box>{{c.text, "Error", 0}})) << c.text;
        EXPECT_EQ(w.controlText(IDC_RUN_BUTTON), "Clear") << c.text;
        EXPECT_EQ(r.state(), Idle) << c.text;
        EXPECT_EQ(p.isOpen(), c.leftOpen) << c.text;

        // The next press: a port left open is only closed; otherwise it is
        // tried again.
        p.openResult = PortOpenResult::Ok;
        d.OnClearButton();
        if (c.leftOpen) {
            EXPECT_EQ(w.controlText(IDC_RUN_BUTTON), "Start") << c.text;
            EXPECT_EQ(p.opened.size(), 1u) << c.text;
            EXPECT_FALSE(p.isOpen()) << c.text;
            EXPECT_EQ(r.state(), Idle) << c.text;
            d.OnClearButton();
        }
        EXPECT_EQ(w.controlText(IDC_RUN_BUTTON), "Stop") << c.text;
        EXPECT_EQ(r.state(), Armed) << c.text;
    }
}

TEST_F(ClearDialog, AConnectShowsStopAndAPressOrACloseDuringItCancelsIt)
{
    // What the user does at the second of three waits of a network open.
    enum Action { Nothing, Press, PressAsItCompletes, Close, Quit };
    for (int action = Nothing; action <= Quit; ++action) {
        RecordingWindow w;
        FakePort p;
        FakePacer pc;
        ClearRun r;
        CClearDlg d(w, p, pc, r);
        ASSERT_TRUE(d.OnInitDialog());
        w.texts[IDC_RUN_BUTTON] = "Clear";
        int waits = 0;
        p.whileOpening = [&] {
            bool go = true;
            for (int i = 0; i < 3 && go; ++i)
                go = d.OnConnectWait() || action == PressAsItCompletes;
            return go;
        };
        w.whileConnecting = [&] {
            EXPECT_EQ(w.controlText(IDC_RUN_BUTTON), "Stop") << action;
            const bool press = ++waits == 2 && (action == Press || action == PressAsItCompletes);
            // Twice: the second press is not kept for later either.
            for (int i = 0; press && i < 2; ++i)
                d.Dispatch(CommandMessage(IDC_RUN_BUTTON, NOTIFY_BN_CLICKED));
            if (waits == 2 && action == Close)
                d.OnWindowClosing();
            return waits != 2 || action != Quit;
        };
        d.OnClearButton();
        const bool runs = action == Nothing;
        const std::vector<Box> boxes[] = {{}, {{"COM Open Fail", "Error", 0}},
                                          {{"COM Open Fail: the connect was cancelled", "Error", 0}}, {}, {}};
        EXPECT_EQ(w.boxes, boxes[action]) << action;
        EXPECT_EQ(p.isOpen() || r.state() != Idle, runs) << action;
        EXPECT_EQ(w.controlText(IDC_RUN_BUTTON), runs ? "Stop" : "Clear") << action;
        // The press was used up: the next one is a new clear, not a stop.
        p.whileOpening = nullptr;
        d.OnClearButton();
        EXPECT_EQ(p.opened.size(), runs ? 1u : 2u) << action;
    }
}

TEST_F(ClearDialog, OnlyChangedTextsAreWrittenIntoTheControls)
{
    Init();
    dlg.UpdateData(false);
    EXPECT_TRUE(window.textWrites.empty());
    window.texts[IDC_PORT_NAME] = "COM9";
    window.texts[IDC_POLL_PERIOD] = "5";
    dlg.UpdateData(false);
    EXPECT_EQ(window.textWrites, (std::vector<int>{IDC_PORT_NAME, IDC_POLL_PERIOD}));
}

TEST_F(ClearDialog, ACheckStateOutsideZeroToTwoIsWrittenAsClear)
{
    Init();
    const int cases[][2] = {{0, 0}, {1, 1}, {2, 2}, {3, 0}, {-1, 0}};
    for (const auto& c : cases) {
        window.checks[IDC_READ_SINGLE_TIME] = c[0];
        ASSERT_TRUE(dlg.UpdateData(true));
        EXPECT_EQ(dlg.readSingleTime(), c[0]);
        dlg.UpdateData(false);
        EXPECT_EQ(window.checkState(IDC_READ_SINGLE_TIME), c[1]) << c[0];
    }
}

TEST_F(ClearDialog, EnterClosesOnlyWhenTheFieldsAreAccepted)
{
    Init();
    EXPECT_TRUE(dlg.OnOK());
    window.texts[IDC_INVERTER_ADDRESS] = "x";
    EXPECT_FALSE(dlg.OnOK());
    EXPECT_EQ(window.boxes.size(), 1u);
}

TEST_F(ClearDialog, TheMessageMapRoutesEachMessage)
{
    Init();
    struct Case {
        DialogMessage msg;
        MessageResult result;
        int aboutBoxes;
    };
    DialogMessage about{MSG_SYSCOMMAND, IDM_ABOUTBOX, 0};
    DialogMessage aboutLowBits{MSG_SYSCOMMAND, IDM_ABOUTBOX | 0x3, 0};
    DialogMessage close{MSG_SYSCOMMAND, 0xF060, 0};
    DialogMessage paint{MSG_PAINT, 0, 0};
    DialogMessage dragIcon{MSG_QUERYDRAGICON, 0, 0};
    DialogMessage other{0x0200, 0, 0};
    const Case cases[] = {
        {about, MessageResult::Handled, 1},
        {aboutLowBits, MessageResult::Handled, 2},
        {close, MessageResult::Default, 2},
        {paint, MessageResult::Default, 2},
        {dragIcon, MessageResult::DragIcon, 2},
        {other, MessageResult::Default, 2},
        {CommandMessage(IDC_RUN_BUTTON, 5), MessageResult::Default, 2},
        {CommandMessage(IDC_PORT_NAME, NOTIFY_BN_CLICKED), MessageResult::Default, 2},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dlg.Dispatch(c.msg), c.result) << std::hex << c.msg.message;
        EXPECT_EQ(window.aboutBoxes, c.aboutBoxes) << std::hex << c.msg.message;
    }
    EXPECT_EQ(Label(), "");  // no stray press
    EXPECT_TRUE(port.opened.empty());
}

TEST_F(ClearDialog, AMinimisedWindowPaintsItsIconCentred)
{
    Init();
    window.minimised = true;
    struct Case {
        PixelSize client;
        PixelSize icon;
        PixelSize origin;
    };
    const Case cases[] = {
        {{32, 32}, {32, 32}, {0, 0}},
        {{100, 50}, {32, 32}, {34, 9}},
        {{20, 21}, {32, 32}, {-5, -5}},  // truncated toward zero
    };
    for (const Case& c : cases) {
        window.client = c.client;
        window.icon = c.icon;
        window.iconsDrawn.clear();
        EXPECT_EQ(dlg.Dispatch({MSG_PAINT, 0, 0}), MessageResult::Handled);
        ASSERT_EQ(window.iconsDrawn.size(), 1u);
        EXPECT_EQ(window.iconsDrawn[0].width, c.origin.width);
        EXPECT_EQ(window.iconsDrawn[0].height, c.origin.height);
    }
}

TEST_F(ClearDialog, TheFunctionSelectorEnablesTheFieldsOfItsOperation)
{
    Init();
    struct Case {
        int index;
        bool paramSelector, paramData, registerField, lengthField;
    };
    const Case cases[] = {
        {3, true, false, false, false},
        {4, true, true, false, false},
        {0, false, false, true, true},
        {2, false, false, true, true},
        {-1, false, false, true, true},
    };
    for (const Case& c : cases) {
        window.combos[IDC_FUNCTION_SELECTOR] = c.index;
        dlg.Dispatch(CommandMessage(IDC_FUNCTION_SELECTOR, NOTIFY_CBN_SELCHANGE));
        EXPECT_EQ(FunctionIndex(), static_cast<std::uint8_t>(c.index & 0xFF));
        EXPECT_EQ(window.enabled[IDC_PARAM_SELECTOR], c.paramSelector) << c.index;
        EXPECT_EQ(window.enabled[IDC_PARAMETER_DATA], c.paramData) << c.index;
        EXPECT_EQ(window.enabled[IDC_REGISTER_ADDRESS], c.registerField) << c.index;
        EXPECT_EQ(window.enabled[IDC_LENGTH_OR_DATA], c.lengthField) << c.index;
    }
    window.combos[IDC_PARAM_SELECTOR] = 7;
    dlg.Dispatch(CommandMessage(IDC_PARAM_SELECTOR, NOTIFY_CBN_SELCHANGE));
    EXPECT_EQ(ParameterIndex(), 7);
}

} // namespace
} // namespace korvanel
