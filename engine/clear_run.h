// The Clear run: the Modbus RTU request that writes 0x0000 to holding
// register 0x004A of one inverter, and the tick procedure that sends it,
// judges the reply, re-sends on a fixed pace and reports the outcome.
//
// One tick procedure, two reply rules: the dialog's (the function code and
// check at the first byte gathered, nothing else) and the field rule of
// korvanel-clear (the exact reply from our address anywhere in the bytes,
// exceptions named, a local echo taken off). The same procedure also paces
// the read of register 0x004A that proves a Clear.
//
// Platform-free: the dialog is reached through ClearTickOps, which every
// front end (dialog, command line, tests) supplies, and the serial port
// through the TickPort that ClearTickOps hands out.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "protocol.h"
#include "texts.h"
#include "tick_port.h"

namespace korvanel {

// One unsigned byte; values of 200 and above mark a finished run and last
// only within the tick that reaches them.
enum RunState : std::uint8_t {
    Idle = 0,
    Armed = 1,
    Waiting = 2,
    Succeeded = 200,
    Failed = 201,
};

constexpr std::size_t RX_HALF_SIZE = 180;
constexpr std::size_t TX_HALF_SIZE = 180;
constexpr std::size_t FRAME_BUFFER_SIZE = RX_HALF_SIZE + TX_HALF_SIZE;
// The receive half's head that every tick wipes before gathering.
constexpr std::size_t RX_CLEARED_PREFIX = 60;

// Address, function, check (2): nothing shorter is a frame.
constexpr std::uint8_t SHORTEST_FRAME_LENGTH = 4;
// Address, function, register (2), value (2), check (2).
constexpr std::uint8_t REQUEST_LENGTH = 8;
// Bytes covered by the check of a request or a Write Single Register reply.
constexpr std::uint8_t CHECKED_LENGTH = 6;
// Address, 0x10, register (2), quantity (2), byte count, value (2), check (2).
constexpr std::uint8_t WRITE_MULTIPLE_REQUEST_LENGTH = 11;
// Address, 0x10, register (2), quantity (2), check (2).
constexpr std::uint8_t WRITE_MULTIPLE_REPLY_LENGTH = 8;
// Address, 0x03, byte count 2, value (2), check (2).
constexpr std::uint8_t READ_REPLY_LENGTH = 7;
// Address, function | 0x80, code, check (2).
constexpr std::uint8_t EXCEPTION_REPLY_LENGTH = 5;
// The seventh unsuccessful check ends the run.
constexpr std::uint8_t MAX_RETRY_COUNT = 6;

// How the Waiting tick judges the bytes it gathered.
enum class ReplyRule : std::uint8_t {
    // A frame of the request's function code with a valid check at the first
    // byte gathered; the address byte is not compared.
    Dialog,
    // The run's reply window (every byte since its first request) holds the
    // exact reply of our address, beyond the copies an echoing line gives
    // back; exceptions are judged by meaning; a request to the broadcast
    // address is never answered, so nothing is judged.
    Field,
};

// What the Armed tick puts on the line.
enum class RequestKind : std::uint8_t {
    ClearWrite,         // write 0x0000 to register 0x004A (0x06)
    ClearWriteMultiple, // the same write as Write Multiple Registers (0x10), quantity 1
    ReadRegister,       // read register 0x004A (one register)
};

// Whether the line hands back every byte we send (a two-wire adapter that
// hears itself). Unknown counts as no echo.
enum class LineEcho : std::uint8_t { Unknown, Echoes, NoEcho };

// What an exception code means for a run, by the Modbus application
// protocol's definitions.
enum class ExceptionMeaning : std::uint8_t {
    // 01-04 and codes the protocol does not define: asking again changes
    // nothing, the run ends.
    Refusal,
    // 05: the request was taken and is still being carried out; only a read
    // of the register proves it.
    Acknowledge,
    // 06: the inverter is busy with something else; not an answer.
    Busy,
    // 0A, 0B: a gateway could not reach the inverter; not the inverter's
    // answer.
    Gateway,
};
ExceptionMeaning MeaningOf(std::uint8_t exceptionCode);

// The bytes the field rule judges and what it needs to know about them.
struct ReplyWindow {
    const std::uint8_t* bytes = nullptr;
    std::size_t count = 0;
    // Requests of the current kind that went out whole: on a line that
    // echoes, one copy each.
    unsigned sends = 0;
    LineEcho echo = LineEcho::Unknown;
    // The request that asked the line whether it echoes, if a copy of it may
    // still come: a copy of a read is never a reply, so it proves the echo
    // wherever it lies. Null when not looked for.
    const std::uint8_t* probe = nullptr;
};

// What the field rule found in a run's window.
struct FieldVerdict {
    enum Kind : std::uint8_t { NoReply, Accepted, Exception };
    Kind kind = NoReply;
    // For Exception: a refusal or an acknowledge (the exceptions that
    // answer); a busy or gateway exception leaves the kind NoReply and is
    // kept in passingException.
    std::uint8_t exceptionCode = 0;
    // The register's value, for an accepted read reply (the last one).
    std::uint16_t value = 0;
    // Copies of our request found.
    unsigned copies = 0;
    // A copy of the probe request was found: the line echoes.
    bool probeCopySeen = false;
    // The last exception that was not an answer (busy, gateway), 0 if none.
    std::uint8_t passingException = 0;
};

// The field rule's findings over a run, for the front end to report.
struct FieldFindings {
    FieldVerdict last;
    // Exception 05 came: the write went on being proved by reads.
    bool acknowledged = false;
    // Exception 01 (illegal function) came to the 0x06 write and the run
    // went on with the 0x10 write (ClearRun::fallBackToMultiple).
    bool fellBack = false;
    // A read after an acknowledge answered with this value (not yet 0).
    bool valueRead = false;
    std::uint16_t valueAfterAcknowledge = 0;
    // Every busy or gateway exception code seen in the run, in order.
    std::vector<std::uint8_t> passingExceptions;
};

// How a run ended, as Finish() records it; front ends read this, not the
// run state, and word it themselves.
struct RunVerdict {
    enum Kind : std::uint8_t {
        // The run has not ended (or was abandoned by its front end).
        Pending,
        // The write was answered, or a read answered with a value.
        Accepted,
        // The inverter refused: exceptionCode says how.
        Refused,
        // No answer within the schedule; exceptionCode is the last busy or
        // gateway exception that came instead, 0 for silence.
        Unanswered,
    };
    Kind kind = Pending;
    std::uint8_t exceptionCode = 0;
    // The register's value, for an accepted read.
    std::uint16_t value = 0;

    bool accepted() const { return kind == Accepted; }
};

// The most bytes a run's reply window keeps: four requests, their echoes
// and replies take under 100; the rest is room for noise.
constexpr std::size_t REPLY_WINDOW_LIMIT = 4096;

// 360 bytes in one store: the receive half, then the transmit half.
struct FrameBuffer {
    std::uint8_t bytes[FRAME_BUFFER_SIZE] = {};

    std::uint8_t* rx() { return bytes; }
    const std::uint8_t* rx() const { return bytes; }
    std::uint8_t* tx() { return bytes + RX_HALF_SIZE; }
    const std::uint8_t* tx() const { return bytes + RX_HALF_SIZE; }
};

// What came back to the read that asks whether the line echoes: copies of
// the read itself, the addressed inverter's answer (a value or an
// exception), bytes that are neither, and among those whether some stretch
// is our read with a few bytes changed, dropped or added (an echo a glitch
// or a noise byte spoiled), which leaves the question open: a line that
// does not echo cannot give back something so close to our request.
struct ProbeEcho {
    unsigned copies = 0;
    bool answered = false;
    std::size_t unexplained = 0;
    bool nearCopy = false;
};

// Whether the line hands back what we send, as far as the session knows,
// and how many requests went out whole, one copy each owed by an echoing
// line. Fed by every byte a run gathers and every request that went out
// whole; the judge, the front end and the read that asks about the echo
// all ask it.
class EchoTracker {
public:
    LineEcho state() const { return state_; }
    // What the user said (--echo), the port knows, or a probe found.
    void learn(LineEcho echo) { state_ = echo; }

    // A run starts: none of its requests has gone out.
    void newRun() { sends_ = runSends_ = 0; }
    // The request changed (0x10 after 0x06, reads after an acknowledge):
    // copies of the old one are no longer owed.
    void newRequest() { sends_ = 0; }
    // A request went out whole; one cut short brings no echo back.
    void sent()
    {
        ++sends_;
        ++runSends_;
    }
    // Whole sends of the current request, and of the whole run.
    unsigned sends() const { return sends_; }
    unsigned runSends() const { return runSends_; }

    // From now on a copy of `request` (REQUEST_LENGTH bytes) anywhere
    // proves the echo: a copy of a read is never its reply.
    void lookForCopyOf(const std::uint8_t* request);
    // The request whose copy is looked for, null when none.
    const std::uint8_t* probe() const { return probe_.empty() ? nullptr : probe_.data(); }
    // Bytes heard, in the order they came.
    void heard(const std::uint8_t* bytes, std::size_t count);
    // What came back to the read that asks whether the line echoes (its
    // request and the bytes its run gathered): a copy of it, a line that
    // does not echo (its copy is looked for from then on), or a copy noise
    // spoiled, which leaves the state as it was.
    ProbeEcho judgeProbe(const std::uint8_t* request, const std::uint8_t* bytes, std::size_t count);

private:
    LineEcho state_ = LineEcho::Unknown;
    unsigned sends_ = 0;
    unsigned runSends_ = 0;
    std::vector<std::uint8_t> probe_;
    // The last bytes heard, short of a probe: a copy may straddle two reads.
    std::vector<std::uint8_t> tail_;
};

// The record of the run. runState and pollPeriod are read by the poll thread
// without a lock; relaxed atomics are enough because nothing else it reads
// needs ordering with them. Everything else is touched by the UI thread only.
struct ClearRun {
    std::atomic<std::uint8_t> runState{Idle};
    std::atomic<std::int32_t> pollPeriod{0};
    std::uint8_t retryCount = 0;
    std::uint8_t txLength = 0;
    std::uint8_t rxCount = 0;
    FrameBuffer frame;
    // Set while a tick is being handled, so that a tick dispatched from the
    // loop of a message box that tick opened does nothing.
    bool tickInProgress = false;

    // The dialog's judgement and schedule unless a front end chooses others.
    ReplyRule replyRule = ReplyRule::Dialog;
    RequestKind requestKind = RequestKind::ClearWrite;
    // Whether the line hands back every byte we send, and the copies it
    // owes (field rule only).
    EchoTracker echo;
    // The run fails at the check that takes retryCount above this; with 0 a
    // request gets a single check.
    std::uint8_t retryLimit = MAX_RETRY_COUNT;
    // Field rule: an inverter that answers the 0x06 write with exception 01
    // (illegal function) gets the same write as 0x10 on the next request
    // tick, instead of the run ending (korvanel-clear --function auto).
    bool fallBackToMultiple = false;
    // The field rule's reply window: every byte gathered since the run's
    // first request.
    std::vector<std::uint8_t> window;
    FieldFindings findings;
    // Set by the tick that ends the run; reset when a run is armed.
    RunVerdict verdict;

    std::uint8_t state() const { return runState.load(std::memory_order_relaxed); }
    void setState(std::uint8_t s) { runState.store(s, std::memory_order_relaxed); }
    std::int32_t period() const { return pollPeriod.load(std::memory_order_relaxed); }
    void setPeriod(std::int32_t ms) { pollPeriod.store(ms, std::memory_order_relaxed); }
};

// The process-wide record shared by the dialog and the poll thread; zero at
// process start.
ClearRun& TheClearRun();

// What a tick needs from the front end, in the order a tick may call it.
class ClearTickOps {
public:
    virtual ~ClearTickOps() = default;

    // The port the run talks through; every byte of a tick goes through it.
    virtual TickPort& port() = 0;
    // The dialog's read buffer of RX_SCRATCH_SIZE bytes.
    virtual std::uint8_t* rxScratch() = 0;
    // Field exchange from the controls; false when a field was rejected (the
    // exchange has shown its own message then).
    virtual bool exchangeFieldsFromControls() = 0;
    // Only the low 8 bits go on the wire.
    virtual std::uint32_t inverterAddress() const = 0;
    virtual void setResultText(const std::string& text) = 0;
    virtual void exchangeFieldsToControls() = 0;
    // Closes the port, sets txLength to 0 and runState to Idle, relabels the
    // button "Start".
    virtual void StopRun() = 0;
    // Modal: returns when the user has dismissed it.
    virtual void showResult(const std::string& text) = 0;
};

// Advances `run` by one tick.
void OnClearTick(ClearRun& run, ClearTickOps& ops);

// Writes the 8-byte request for `inverterAddress` (low 8 bits) into `tx`.
void BuildClearRequest(FrameBuffer& frame, std::uint32_t inverterAddress);

// Writes the 8-byte Read Holding Registers request for register 0x004A,
// quantity 1, into `tx`.
void BuildReadRequest(FrameBuffer& frame, std::uint32_t inverterAddress);

// Writes the 11-byte Write Multiple Registers request that writes 0x0000
// to register 0x004A (quantity 1, byte count 2) into `tx`.
void BuildClearRequestMultiple(FrameBuffer& frame, std::uint32_t inverterAddress);

// True when the first `rxCount` gathered bytes start with a valid reply to
// the request in the transmit half.
bool IsAcceptedReply(const FrameBuffer& frame, std::uint8_t rxCount);

// The field rule over a run's window, for the request of `requestLength`
// bytes at `request` (a Clear, either write, or a read, by its function
// code). Frames are taken in the order they arrived; junk between them is
// skipped.
FieldVerdict JudgeReplyWindow(const std::uint8_t* request, std::size_t requestLength,
                              const ReplyWindow& window);

// Between ticks (korvanel-clear only): gathers what has arrived into the
// run's window and, under the field rule, ends a Waiting run at once when
// the window answers it. Does nothing under the dialog's rule or while a
// tick is being handled.
void OnReplyInput(ClearRun& run, ClearTickOps& ops);

// The probe read's bytes looked through (see ProbeEcho).
ProbeEcho ReadProbeWindow(const std::uint8_t* request, const std::uint8_t* bytes,
                          std::size_t count);

// A read's answer found in any bytes: the reply or exception of `address`
// to a read of one register.
struct ReadAnswer {
    std::uint8_t address = 0;
    bool exception = false;
    std::uint8_t exceptionCode = 0;
    std::uint16_t value = 0;
    // Offset of the frame's last byte in the bytes searched.
    std::size_t endOffset = 0;
};
std::vector<ReadAnswer> FindReadAnswers(const std::uint8_t* bytes, std::size_t count);

// Copies of `frame` in `bytes`, counted without overlap.
unsigned CountCopies(const std::uint8_t* bytes, std::size_t count, const std::uint8_t* frame,
                     std::size_t frameLength);

} // namespace korvanel
