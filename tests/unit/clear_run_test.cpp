#include "clear_run.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "modbus_crc.h"
#include "retry_schedule.h"

namespace korvanel {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kRequest1 = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};
const Bytes kRead1 = {0x01, 0x03, 0x00, 0x4A, 0x00, 0x01, 0xA5, 0xDC};
// Exception 02 (illegal data address) from inverter 1 to a write, and to a read.
const Bytes kRefusal1 = {0x01, 0x86, 0x02, 0xC3, 0xA1};
const Bytes kReadRefusal1 = {0x01, 0x83, 0x02, 0xC0, 0xF1};

Bytes Concat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Stands in for the serial port and the dialog; records what a user or the
// inverter would observe.
class RecordingOps : public ClearTickOps, public TickPort {
public:
    explicit RecordingOps(ClearRun& run) : run_(run) {}

    // Bytes that arrive on the line before the next tick.
    std::deque<Bytes> arrivals;
    bool readCompletesAtOnce = true;
    bool exchangeSucceeds = true;
    std::uint32_t address = 1;
    std::function<void()> duringMessageBox;

    int tick = 0;
    struct Write {
        int tick;
        Bytes bytes;
    };
    std::vector<Write> writes;
    std::vector<std::string> shown;
    std::vector<std::string> calls;
    std::string resultText;
    int stopRuns = 0;

    void Tick()
    {
        ++tick;
        OnClearTick(run_, *this);
    }

    TickPort& port() override { return *this; }
    std::uint8_t* rxScratch() override { return scratch_; }

    std::uint32_t queuedByteCount() override
    {
        calls.push_back("queued");
        pending_ = arrivals.empty() ? Bytes{} : arrivals.front();
        if (!arrivals.empty())
            arrivals.pop_front();
        return static_cast<std::uint32_t>(pending_.size());
    }

    void prepareWriteEvent() override { calls.push_back("event"); }

    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& kept) override
    {
        calls.push_back("read");
        EXPECT_EQ(count, pending_.size());
        if (!readCompletesAtOnce)
            return false;
        kept = count < RX_SCRATCH_SIZE ? count : static_cast<std::uint32_t>(RX_SCRATCH_SIZE);
        // An empty vector's data() may be null, which memcpy must not get.
        if (kept > 0)
            std::memcpy(buffer, pending_.data(), kept);
        return true;
    }

    bool exchangeFieldsFromControls() override
    {
        calls.push_back("fromControls");
        if (!exchangeSucceeds && duringMessageBox)
            duringMessageBox();
        return exchangeSucceeds;
    }

    std::uint32_t inverterAddress() const override { return address; }
    void setResultText(const std::string& text) override { resultText = text; }
    void exchangeFieldsToControls() override { calls.push_back("toControls"); }

    void StopRun() override
    {
        calls.push_back("stop");
        ++stopRuns;
        run_.txLength = 0;
        run_.setState(Idle);
    }

    void showResult(const std::string& text) override
    {
        calls.push_back("show");
        shown.push_back(text);
        if (duringMessageBox)
            duringMessageBox();
    }

    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        calls.push_back("write");
        writes.push_back({tick, Bytes(bytes, bytes + count)});
    }

    std::vector<int> WriteTicks() const
    {
        std::vector<int> ticks;
        for (const Write& w : writes)
            ticks.push_back(w.tick);
        return ticks;
    }

private:
    ClearRun& run_;
    std::uint8_t scratch_[RX_SCRATCH_SIZE] = {};
    Bytes pending_;
};

class ClearRunTest : public ::testing::Test {
protected:
    ClearRun run;
    RecordingOps ops{run};

    void Arm() { run.setState(Armed); }
    void TickTimes(int n)
    {
        for (int i = 0; i < n; ++i)
            ops.Tick();
    }
};

TEST_F(ClearRunTest, FirstTickSendsTheRequestForTheTypedAddress)
{
    struct Row {
        std::uint32_t address;
        Bytes wire;
    };
    const Row rows[] = {
        {1, kRequest1},
        {2, {0x02, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x2F}},
        {17, {0x11, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xAA, 0x8C}},
        {247, {0xF7, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xBC, 0x8A}},
        {255, {0xFF, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xBD, 0xC2}},
        // Only the low 8 bits reach the wire; the dialog refuses such values.
        {300, {0x2C, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xAE, 0x61}},
    };
    for (const Row& row : rows) {
        ClearRun r;
        RecordingOps o(r);
        o.address = row.address;
        r.setState(Armed);
        o.Tick();
        ASSERT_EQ(o.writes.size(), 1u) << row.address;
        EXPECT_EQ(o.writes[0].bytes, row.wire) << row.address;
        EXPECT_EQ(r.state(), Waiting);
    }
}

TEST_F(ClearRunTest, SilenceSendsFourRequestsThenFailsOnTickEight)
{
    Arm();
    TickTimes(schedule::FAILURE_TICK - 1);
    EXPECT_EQ(ops.WriteTicks(), schedule::REQUEST_TICKS);
    for (const auto& w : ops.writes)
        EXPECT_EQ(w.bytes, kRequest1);
    EXPECT_TRUE(ops.shown.empty());
    EXPECT_EQ(ops.stopRuns, 0);
    EXPECT_EQ(ops.resultText, TEXT_RESPONSE_PENDING);

    ops.Tick();
    EXPECT_EQ(ops.shown, (std::vector<std::string>{TEXT_OPERATION_FAIL}));
    EXPECT_EQ(ops.stopRuns, 1);
    EXPECT_EQ(run.state(), Idle);
    EXPECT_EQ(ops.writes.size(), schedule::REQUEST_TICKS.size());

    // Ticks still queued after the end do nothing.
    TickTimes(3);
    EXPECT_EQ(ops.writes.size(), schedule::REQUEST_TICKS.size());
    EXPECT_EQ(ops.shown.size(), 1u);
}

TEST_F(ClearRunTest, ReplyOnAnyCheckingTickSucceedsAndSendsNothingMore)
{
    for (int replyTick = 2; replyTick <= 8; ++replyTick) {
        ClearRun r;
        RecordingOps o(r);
        for (int t = 1; t < replyTick; ++t)
            o.arrivals.push_back({});
        o.arrivals.push_back(kRequest1);
        r.setState(Armed);
        for (int t = 1; t <= 10; ++t)
            o.Tick();

        EXPECT_EQ(o.shown, (std::vector<std::string>{TEXT_CLEAR_OK})) << "reply on tick " << replyTick;
        EXPECT_EQ(o.stopRuns, 1);
        EXPECT_EQ(r.state(), Idle);
        for (const auto& w : o.writes)
            EXPECT_LT(w.tick, replyTick) << "reply on tick " << replyTick;
        // The box opens after the port was closed, and nothing is written after it.
        const auto stop = std::find(o.calls.begin(), o.calls.end(), "stop");
        const auto show = std::find(o.calls.begin(), o.calls.end(), "show");
        EXPECT_LT(stop, show);
        EXPECT_EQ(std::find(show, o.calls.end(), "write"), o.calls.end());
    }
}

// A 6-byte frame with function 0x06 whose check is 0x0000, so that the
// wiped bytes after it would look like matching check bytes.
Bytes ShortFrameWithZeroCheck()
{
    for (unsigned v = 0; v < 0x10000; ++v) {
        const Bytes b = {0x01, 0x06, 0x00, 0x4A, static_cast<std::uint8_t>(v >> 8),
                         static_cast<std::uint8_t>(v & 0xFF)};
        if (ModbusCrc16Bytes(b.data(), b.size()) == 0x0000)
            return b;
    }
    ADD_FAILURE() << "no such frame";
    return {};
}

TEST_F(ClearRunTest, WhatCountsAsAValidReply)
{
    const Bytes exception = {0x01, 0x86, 0x02, 0xC3, 0xA1};
    Bytes badCheck = kRequest1;
    badCheck[7] ^= 0x01;
    const Bytes otherAddress = {0x05, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA9, 0x98};
    const Bytes otherRegister = {0x01, 0x06, 0x00, 0x10, 0x00, 0x00, 0x88, 0x0F};
    const Bytes shortFrame = ShortFrameWithZeroCheck();

    struct Row {
        const char* what;
        Bytes gathered;
        bool accepted;
    };
    const Row rows[] = {
        {"the echo of the request", kRequest1, true},
        {"another address byte", otherAddress, true},
        {"an echo of another register", otherRegister, true},
        {"trailing bytes after the reply", Concat(kRequest1, {0x00, 0xFF}), true},
        {"an exception reply", exception, false},
        {"a corrupted check", badCheck, false},
        {"a stray byte before the reply", Concat({0x00}, kRequest1), false},
        {"the first half of the reply", Bytes(kRequest1.begin(), kRequest1.begin() + 4), false},
        {"six bytes whose check is zero", shortFrame, false},
        {"the same with its zero check bytes", Concat(shortFrame, {0x00, 0x00}), true},
        {"nothing", {}, false},
    };
    for (const Row& row : rows) {
        ClearRun r;
        RecordingOps o(r);
        o.arrivals = {{}, row.gathered};
        r.setState(Armed);
        o.Tick();
        o.Tick();
        EXPECT_EQ(!o.shown.empty() && o.shown[0] == TEXT_CLEAR_OK, row.accepted) << row.what;
        EXPECT_EQ(r.state(), row.accepted ? Idle : Waiting) << row.what;
    }
}

TEST_F(ClearRunTest, AReplySplitOverTwoIntervalsFailsBothChecks)
{
    ops.arrivals = {{}, Bytes(kRequest1.begin(), kRequest1.begin() + 3),
                    Bytes(kRequest1.begin() + 3, kRequest1.end())};
    Arm();
    TickTimes(3);
    EXPECT_TRUE(ops.shown.empty());
    EXPECT_EQ(run.retryCount, 2);
    EXPECT_EQ(ops.WriteTicks(), (std::vector<int>{1, 3}));
}

TEST_F(ClearRunTest, GathersAtMost180BytesOfALongBurst)
{
    struct Row {
        std::size_t queued;
        std::uint8_t gathered;
    };
    for (const Row row : {Row{179, 179}, Row{180, 180}, Row{181, 180}, Row{256, 180}, Row{1000, 180}}) {
        ClearRun r;
        RecordingOps o(r);
        Bytes burst(row.queued);
        for (std::size_t i = 0; i < burst.size(); ++i)
            burst[i] = static_cast<std::uint8_t>(i + 1);
        o.arrivals = {{}, burst};
        r.setState(Armed);
        o.Tick();
        o.Tick();
        EXPECT_EQ(r.rxCount, row.gathered) << row.queued;
        EXPECT_EQ(r.frame.rx()[r.rxCount - 1], static_cast<std::uint8_t>(r.rxCount)) << row.queued;
        // The transmit half is untouched by the flood.
        EXPECT_EQ(Bytes(r.frame.tx(), r.frame.tx() + 8), kRequest1) << row.queued;
    }
}

TEST_F(ClearRunTest, AReadThatDidNotCompleteAtOnceGathersNothing)
{
    ops.readCompletesAtOnce = false;
    ops.arrivals = {{}, kRequest1};
    Arm();
    TickTimes(2);
    EXPECT_EQ(run.rxCount, 0);
    EXPECT_TRUE(ops.shown.empty());
    EXPECT_EQ(run.retryCount, 1);
}

TEST_F(ClearRunTest, IdleTickSendsNothingButStillDrainsTheQueue)
{
    ops.arrivals = {kRequest1};
    ops.Tick();
    EXPECT_TRUE(ops.writes.empty());
    EXPECT_TRUE(ops.shown.empty());
    EXPECT_EQ(ops.calls, (std::vector<std::string>{"queued", "event", "read"}));
}

TEST_F(ClearRunTest, StaleBytesOfAnEarlierTickAreNotCheckedAgain)
{
    // A valid reply gathered while Armed (before the request) is gone by the
    // first check.
    ops.arrivals = {kRequest1, {}};
    Arm();
    TickTimes(2);
    EXPECT_TRUE(ops.shown.empty());
    EXPECT_EQ(run.retryCount, 1);
}

TEST_F(ClearRunTest, RejectedAddressOnTheArmedTickStopsTheRunAndSendsNothing)
{
    ops.exchangeSucceeds = false;
    Arm();
    ops.Tick();
    EXPECT_TRUE(ops.writes.empty());
    EXPECT_EQ(ops.stopRuns, 1);
    EXPECT_EQ(run.state(), Idle);
    EXPECT_EQ(run.txLength, 0);
    EXPECT_TRUE(ops.shown.empty());
    TickTimes(3);
    EXPECT_TRUE(ops.writes.empty());
}

TEST_F(ClearRunTest, TicksDeliveredInsideATicksMessageBoxDoNothing)
{
    struct Row {
        const char* what;
        bool exchangeSucceeds;
        Bytes reply;
    };
    const Row rows[] = {
        {"result box", true, kRequest1},
        {"field message of the armed tick", false, {}},
    };
    for (const Row& row : rows) {
        ClearRun r;
        RecordingOps o(r);
        o.exchangeSucceeds = row.exchangeSucceeds;
        o.arrivals = {{}, row.reply};
        int nestedTicks = 0;
        o.duringMessageBox = [&] {
            for (int i = 0; i < 5; ++i) {
                ++nestedTicks;
                OnClearTick(r, o);
            }
        };
        r.setState(Armed);
        const std::size_t callsBefore = o.calls.size();
        o.Tick();
        if (row.exchangeSucceeds)
            o.Tick();
        EXPECT_EQ(nestedTicks, 5) << row.what;
        EXPECT_LE(o.shown.size(), 1u) << row.what;
        // Each nested tick would have queried the queue first.
        EXPECT_EQ(std::count(o.calls.begin() + static_cast<long>(callsBefore), o.calls.end(), "queued"),
                  row.exchangeSucceeds ? 2 : 1)
            << row.what;
        EXPECT_LE(o.writes.size(), 1u) << row.what;
        EXPECT_FALSE(r.tickInProgress);
    }
}

TEST_F(ClearRunTest, ATickGathersBeforeItActsAndWritesLast)
{
    Arm();
    ops.Tick();
    EXPECT_EQ(ops.calls,
              (std::vector<std::string>{"queued", "event", "read", "fromControls", "write"}));
    ops.calls.clear();
    ops.Tick();
    ops.Tick();
    EXPECT_EQ(ops.calls, (std::vector<std::string>{"queued", "event", "read", "toControls",
                                                   "queued", "event", "read", "toControls",
                                                   "write"}));
}

// korvanel-clear's rule next to the dialog's, on the bytes gathered by the
// first check: what each shows the user on that tick.
TEST_F(ClearRunTest, TheFieldRuleNextToTheDialogRule)
{
    const Bytes otherAddress = {0x05, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA9, 0x98};
    const Bytes otherRegister = {0x01, 0x06, 0x00, 0x10, 0x00, 0x00, 0x88, 0x0F};
    const Bytes otherRefusal = {0x05, 0x86, 0x02, 0x82, 0x60};
    Bytes badCheck = kRequest1;
    badCheck[7] ^= 0x01;
    const char* const pending = nullptr;

    struct Row {
        const char* what;
        Bytes gathered;
        const char* dialogShows;
        const char* fieldShows;
    };
    const Row rows[] = {
        {"the reply", kRequest1, TEXT_CLEAR_OK, TEXT_CLEAR_OK},
        {"junk at the turnaround, then the reply", Concat({0xFF, 0x00}, kRequest1), pending, TEXT_CLEAR_OK},
        {"a stray byte, then the reply", Concat({0x00}, kRequest1), pending, TEXT_CLEAR_OK},
        {"the reply of another inverter", otherAddress, TEXT_CLEAR_OK, pending},
        {"a reply naming another register", otherRegister, TEXT_CLEAR_OK, pending},
        {"an exception from our inverter", kRefusal1, pending, TEXT_OPERATION_FAIL},
        {"junk, then our inverter's exception", Concat({0x3C}, kRefusal1), pending, TEXT_OPERATION_FAIL},
        {"an exception from another inverter", otherRefusal, pending, pending},
        {"a corrupted check", badCheck, pending, pending},
        {"half a reply", Bytes(kRequest1.begin(), kRequest1.begin() + 5), pending, pending},
        {"nothing", {}, pending, pending},
    };
    for (const Row& row : rows) {
        for (const ReplyRule rule : {ReplyRule::Dialog, ReplyRule::Field}) {
            ClearRun r;
            RecordingOps o(r);
            r.replyRule = rule;
            o.arrivals = {{}, row.gathered};
            r.setState(Armed);
            o.Tick();
            o.Tick();
            const char* expected = rule == ReplyRule::Dialog ? row.dialogShows : row.fieldShows;
            const std::vector<std::string> shown =
                expected ? std::vector<std::string>{expected} : std::vector<std::string>{};
            EXPECT_EQ(o.shown, shown) << row.what << (rule == ReplyRule::Dialog ? ", dialog" : ", field");
        }
    }
}

Bytes WithCheck(Bytes frame)
{
    AppendCheck(frame);
    return frame;
}

// A run's reply window on lines that echo and lines that do not, glitches
// and late copies included, for both writes and the read that proves them.
TEST(JudgeReplyWindow, EchoesExceptionsAndReads)
{
    const Bytes readZero = WithCheck({0x01, 0x03, 0x02, 0x00, 0x00});
    const Bytes read1234 = WithCheck({0x01, 0x03, 0x02, 0x12, 0x34});
    const Bytes busy = WithCheck({0x01, 0x86, 0x06});
    const Bytes gateway = WithCheck({0x01, 0x86, 0x0B});
    const Bytes acknowledge = WithCheck({0x01, 0x86, 0x05});
    const Bytes multiple = WithCheck({0x01, 0x10, 0x00, 0x4A, 0x00, 0x01, 0x02, 0x00, 0x00});
    const Bytes multipleReply = WithCheck({0x01, 0x10, 0x00, 0x4A, 0x00, 0x01});
    const Bytes multipleRefusal = WithCheck({0x01, 0x90, 0x01});
    const Bytes glitch = {0x00};
    using K = FieldVerdict;
    const LineEcho E = LineEcho::Echoes, N = LineEcho::NoEcho;

    struct Row {
        const char* what;
        Bytes request;
        Bytes window;
        unsigned sends;
        LineEcho echo;
        bool probe;
        K::Kind kind;
        std::uint8_t code;
        std::uint16_t value;
        bool probeSeen;
        std::uint8_t passing;
    };
    const Row rows[] = {
        {"glitch, echo", kRequest1, Concat(glitch, kRequest1), 1, E, false, K::NoReply, 0, 0, false, 0},
        {"glitch, echo, exception", kRequest1, Concat(Concat(glitch, kRequest1), kRefusal1), 1, E, false,
         K::Exception, 2, 0, false, 0},
        {"echo, reply", kRequest1, Concat(kRequest1, kRequest1), 1, E, false, K::Accepted, 0, 0, false, 0},
        {"two sends, two late echoes", kRequest1, Concat(kRequest1, kRequest1), 2, E, false, K::NoReply, 0, 0,
         false, 0},
        {"two sends, echo, reply, echo", kRequest1, Concat(Concat(kRequest1, kRequest1), kRequest1), 2, E,
         false, K::Accepted, 0, 0, false, 0},
        {"no echo: the reply", kRequest1, kRequest1, 1, N, false, K::Accepted, 0, 0, false, 0},
        {"the probe's late copy proves the echo", kRequest1, Concat(kRead1, kRequest1), 1, N, true,
         K::NoReply, 0, 0, true, 0},
        {"probe copy, echo, reply", kRequest1, Concat(Concat(kRead1, kRequest1), kRequest1), 1, N, true,
         K::Accepted, 0, 0, true, 0},
        {"busy is no answer", kRequest1, busy, 1, N, false, K::NoReply, 0, 0, false, 6},
        {"busy, then the reply", kRequest1, Concat(busy, kRequest1), 2, N, false, K::Accepted, 0, 0, false, 6},
        {"a gateway's exception is no answer", kRequest1, gateway, 1, N, false, K::NoReply, 0, 0, false, 0x0B},
        {"acknowledge", kRequest1, acknowledge, 1, N, false, K::Exception, 5, 0, false, 0},
        {"another inverter's reply", kRequest1, WithCheck({0x02, 0x06, 0x00, 0x4A, 0x00, 0x00}), 1, N, false,
         K::NoReply, 0, 0, false, 0},
        {"read: 0", kRead1, readZero, 1, N, false, K::Accepted, 0, 0, false, 0},
        {"read: echo alone", kRead1, kRead1, 1, LineEcho::Unknown, false, K::NoReply, 0, 0, false, 0},
        {"read: glitch, echo, reply", kRead1, Concat(Concat(glitch, kRead1), read1234), 1, E, false,
         K::Accepted, 0, 0x1234, false, 0},
        {"read: the last value counts", kRead1, Concat(read1234, readZero), 2, N, false, K::Accepted, 0, 0,
         false, 0},
        {"read: exception", kRead1, kReadRefusal1, 1, N, false, K::Exception, 2, 0, false, 0},
        {"read: a write's reply", kRead1, kRequest1, 1, N, false, K::NoReply, 0, 0, false, 0},
        {"0x10: echo alone", multiple, multiple, 1, LineEcho::Unknown, false, K::NoReply, 0, 0, false, 0},
        {"0x10: echo, reply", multiple, Concat(multiple, multipleReply), 1, E, false, K::Accepted, 0, 0, false,
         0},
        {"0x10: refused", multiple, multipleRefusal, 1, N, false, K::Exception, 1, 0, false, 0},
        {"a copy, then the refusal", kRequest1, Concat(kRequest1, kRefusal1), 1, N, false, K::Exception, 2, 0,
         false, 0},
    };
    for (const Row& row : rows) {
        ReplyWindow w;
        w.bytes = row.window.data();
        w.count = row.window.size();
        w.sends = row.sends;
        w.echo = row.echo;
        w.probe = row.probe ? kRead1.data() : nullptr;
        const FieldVerdict v = JudgeReplyWindow(row.request.data(), row.request.size(), w);
        EXPECT_EQ(v.kind, row.kind) << row.what;
        EXPECT_EQ(v.exceptionCode, row.code) << row.what;
        EXPECT_EQ(v.value, row.value) << row.what;
        EXPECT_EQ(v.probeCopySeen, row.probeSeen) << row.what;
        EXPECT_EQ(v.passingException, row.passing) << row.what;
    }
}

// What came back to the read that asks whether the line echoes: only a
// window with nothing but copies and answers settles the question.
TEST(ReadProbeWindow, CopiesAnswersAndTheRest)
{
    const Bytes read1234 = WithCheck({0x01, 0x03, 0x02, 0x12, 0x34});
    Bytes garbled = kRead1;
    garbled.insert(garbled.begin() + 4, 0x5A);
    struct Row {
        const char* what;
        Bytes window;
        unsigned copies;
        bool answered;
        std::size_t unexplained;
        bool nearCopy;
    } const rows[] = {
        {"nothing", {}, 0, false, 0, false},
        {"the answer alone", read1234, 0, true, 0, false},
        {"echo and answer", Concat(kRead1, read1234), 1, true, 0, false},
        {"a noise byte inside the echo", garbled, 0, false, 9, true},
        {"a garbled echo, then the answer", Concat(garbled, read1234), 0, true, 9, true},
        {"a changed byte and a lost one", {0x01, 0x03, 0x00, 0x4B, 0x00, 0x01, 0xDC}, 0, false, 7, true},
        {"noise around the answer", Concat(Concat({0x3C, 0x81}, read1234), {0x5A}), 0, true, 3, false},
        {"the refusal", kReadRefusal1, 0, true, 0, false},
        {"another inverter's answer", WithCheck({0x02, 0x03, 0x02, 0x00, 0x00}), 0, false, 7, false},
    };
    for (const Row& row : rows) {
        const ProbeEcho found = ReadProbeWindow(kRead1.data(), row.window.data(), row.window.size());
        EXPECT_EQ(found.copies, row.copies) << row.what;
        EXPECT_EQ(found.answered, row.answered) << row.what;
        EXPECT_EQ(found.unexplained, row.unexplained) << row.what;
        EXPECT_EQ(found.nearCopy, row.nearCopy) << row.what;
    }
}

// Read answers of any address in a window, for a scan crediting late replies.
TEST(FindReadAnswers, FindsRepliesAndExceptionsOfEveryAddress)
{
    const Bytes read3 = WithCheck({0x03, 0x03, 0x02, 0x12, 0x34});
    const Bytes refused5 = WithCheck({0x05, 0x83, 0x02});
    const Bytes bytes = Concat(Concat(Concat({0xFF}, read3), kRequest1), refused5);
    const std::vector<ReadAnswer> found = FindReadAnswers(bytes.data(), bytes.size());
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].address, 3);
    EXPECT_EQ(found[0].value, 0x1234);
    EXPECT_EQ(found[0].endOffset, 7u);
    EXPECT_EQ(found[1].address, 5);
    EXPECT_TRUE(found[1].exception);
    EXPECT_EQ(found[1].endOffset, bytes.size() - 1);
}

TEST(ExceptionCodeMeaning, NamesTheStandardCodes)
{
    const std::pair<std::uint8_t, std::string> rows[] = {
        {0x01, "illegal function"},     {0x02, "illegal data address"},
        {0x03, "illegal data value"},   {0x04, "server device failure"},
        {0x05, "acknowledge"},          {0x06, "server device busy"},
        {0x08, "memory parity error"},  {0x0A, "gateway path unavailable"},
        {0x0B, "gateway target device failed to respond"},
        {0x07, "unknown exception code"}, {0x00, "unknown exception code"}, {0xFF, "unknown exception code"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ExceptionCodeMeaning(row.first), row.second) << int(row.first);
}

// Arms the run and ticks it until it shows its outcome (at most ten ticks):
// the tick that showed it, 0 for none.
int TickUntilShown(ClearRun& r, RecordingOps& o)
{
    r.setState(Armed);
    for (int t = 1; t <= 10; ++t) {
        o.Tick();
        if (!o.shown.empty())
            return t;
    }
    return 0;
}

// Under the field rule: an exception ends the run on the tick it comes, an
// echoing line is stripped only after a send, a broadcast is never judged,
// a read goes out as a read, and a single-check schedule ends after one
// check.
TEST_F(ClearRunTest, FieldRuleSchedules)
{
    const Bytes broadcast = {0x00, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA9, 0xCD};
    struct Row {
        const char* what;
        std::uint32_t address;
        RequestKind kind;
        bool lineEchoes;
        std::uint8_t retryLimit;
        std::deque<Bytes> arrivals;  // before ticks 1, 2, ...
        std::vector<int> writeTicks;
        Bytes wire;
        int endTick;
        const char* shown;
        // The verdict Finish() leaves, with the code or value it rests on.
        RunVerdict::Kind verdict;
        std::uint8_t code;
    };
    const Row rows[] = {
        {"exception on the third check", 1, RequestKind::ClearWrite, false, MAX_RETRY_COUNT,
         {{}, {}, {}, kRefusal1}, {1, 3}, kRequest1, 4, TEXT_OPERATION_FAIL, RunVerdict::Refused, 0x02},
        {"echo, then a late reply on a tick after no send", 1, RequestKind::ClearWrite, true, MAX_RETRY_COUNT,
         {{}, kRequest1, kRequest1}, {1}, kRequest1, 3, TEXT_CLEAR_OK, RunVerdict::Accepted, 0},
        {"echo of every request, nothing else", 1, RequestKind::ClearWrite, true, MAX_RETRY_COUNT,
         {{}, kRequest1, {}, kRequest1, {}, kRequest1, {}, kRequest1}, schedule::REQUEST_TICKS, kRequest1,
         schedule::FAILURE_TICK,
         TEXT_OPERATION_FAIL, RunVerdict::Unanswered, 0},
        {"broadcast: its echo is never a reply", 0, RequestKind::ClearWrite, false, MAX_RETRY_COUNT,
         {{}, broadcast, {}, broadcast, {}, broadcast, {}, broadcast}, schedule::REQUEST_TICKS, broadcast,
         schedule::FAILURE_TICK,
         TEXT_OPERATION_FAIL, RunVerdict::Unanswered, 0},
        {"read, answered", 1, RequestKind::ReadRegister, false, MAX_RETRY_COUNT,
         {{}, {0x01, 0x03, 0x02, 0x00, 0x00, 0xB8, 0x44}}, {1}, kRead1, 2, TEXT_CLEAR_OK, RunVerdict::Accepted, 0},
        {"read refused", 1, RequestKind::ReadRegister, false, MAX_RETRY_COUNT,
         {{}, kReadRefusal1}, {1}, kRead1, 2, TEXT_OPERATION_FAIL, RunVerdict::Refused, 0x02},
        {"single check, silence", 1, RequestKind::ReadRegister, false, 0, {}, {1}, kRead1, 2,
         TEXT_OPERATION_FAIL, RunVerdict::Unanswered, 0},
    };
    for (const Row& row : rows) {
        ClearRun r;
        RecordingOps o(r);
        r.replyRule = ReplyRule::Field;
        r.requestKind = row.kind;
        r.echo.learn(row.lineEchoes ? LineEcho::Echoes : LineEcho::NoEcho);
        r.retryLimit = row.retryLimit;
        o.address = row.address;
        o.arrivals = row.arrivals;
        const int endTick = TickUntilShown(r, o);
        EXPECT_EQ(o.WriteTicks(), row.writeTicks) << row.what;
        for (const auto& w : o.writes)
            EXPECT_EQ(w.bytes, row.wire) << row.what;
        EXPECT_EQ(endTick, row.endTick) << row.what;
        EXPECT_EQ(o.shown, (std::vector<std::string>{row.shown})) << row.what;
        EXPECT_EQ(r.verdict.kind, row.verdict) << row.what;
        EXPECT_EQ(r.verdict.exceptionCode, row.code) << row.what;
    }
}

// Exception 05 (acknowledge): the request ticks that are left read the
// register back, and only a read of 0 is a Clear. Busy (06) keeps the
// schedule. A reply between ticks ends the run at once.
TEST_F(ClearRunTest, ExceptionsByMeaningAndRepliesBetweenTicks)
{
    const Bytes acknowledge = WithCheck({0x01, 0x86, 0x05});
    const Bytes busy = WithCheck({0x01, 0x86, 0x06});
    const Bytes readZero = WithCheck({0x01, 0x03, 0x02, 0x00, 0x00});
    const Bytes read1234 = WithCheck({0x01, 0x03, 0x02, 0x12, 0x34});
    struct Row {
        const char* what;
        std::deque<Bytes> arrivals;  // before ticks 1, 2, ...
        std::vector<Bytes> wire;
        int endTick;
        const char* shown;
    };
    const Row rows[] = {
        {"acknowledged, then read 0", {{}, acknowledge, {}, readZero}, {kRequest1, kRead1}, 4, TEXT_CLEAR_OK},
        {"acknowledged, value stays", {{}, acknowledge, {}, read1234, {}, read1234, {}, read1234},
         {kRequest1, kRead1, kRead1, kRead1}, 8, TEXT_OPERATION_FAIL},
        {"busy, then the reply", {{}, busy, {}, kRequest1}, {kRequest1, kRequest1}, 4, TEXT_CLEAR_OK},
    };
    for (const Row& row : rows) {
        ClearRun r;
        RecordingOps o(r);
        r.replyRule = ReplyRule::Field;
        r.echo.learn(LineEcho::NoEcho);
        o.arrivals = row.arrivals;
        const int endTick = TickUntilShown(r, o);
        std::vector<Bytes> wire;
        for (const auto& w : o.writes)
            wire.push_back(w.bytes);
        EXPECT_EQ(wire, row.wire) << row.what;
        EXPECT_EQ(endTick, row.endTick) << row.what;
        EXPECT_EQ(o.shown, (std::vector<std::string>{row.shown})) << row.what;
    }

    // Between ticks: the dialog's rule waits for the tick, the field rule
    // does not.
    for (const ReplyRule rule : {ReplyRule::Dialog, ReplyRule::Field}) {
        ClearRun r;
        RecordingOps o(r);
        r.replyRule = rule;
        r.setState(Armed);
        o.Tick();
        o.arrivals = {kRequest1};
        OnReplyInput(r, o);
        EXPECT_EQ(o.shown.size(), rule == ReplyRule::Field ? 1u : 0u);
        EXPECT_EQ(o.writes.size(), 1u);
    }
}

} // namespace
} // namespace korvanel
