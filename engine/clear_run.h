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
// Platform-free: the serial port and the dialog are reached only through
// ClearTickOps, which every front end (dialog, command line, tests) supplies.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

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
// The dialog's read buffer: a tick keeps at most this many of the bytes it
// takes out of the input queue.
constexpr std::size_t RX_SCRATCH_SIZE = 256;
// The receive half's head that every tick wipes before gathering.
constexpr std::size_t RX_CLEARED_PREFIX = 60;

constexpr std::uint16_t CLEAR_REGISTER = 0x004A;
constexpr std::uint16_t CLEAR_VALUE = 0x0000;
constexpr std::uint8_t FUNCTION_WRITE_SINGLE_REGISTER = 0x06;
constexpr std::uint8_t FUNCTION_READ_HOLDING_REGISTERS = 0x03;
// An exception reply carries the request's function code with this bit set.
constexpr std::uint8_t EXCEPTION_FLAG = 0x80;
// Every inverter on the bus executes a request to this address; none answers.
constexpr std::uint8_t BROADCAST_ADDRESS = 0;
// Address, function, register (2), value (2), check (2).
constexpr std::uint8_t REQUEST_LENGTH = 8;
// Bytes covered by the check of a request or a Write Single Register reply.
constexpr std::uint8_t CHECKED_LENGTH = 6;
// Address, 0x03, register (2), quantity (2), check (2): a read is as long
// as the Clear request.
constexpr std::uint8_t READ_REQUEST_LENGTH = 8;
// Address, 0x03, byte count 2, value (2), check (2).
constexpr std::uint8_t READ_REPLY_LENGTH = 7;
// Address, function | 0x80, code, check (2).
constexpr std::uint8_t EXCEPTION_REPLY_LENGTH = 5;
// The seventh unsuccessful check ends the run.
constexpr std::uint8_t MAX_RETRY_COUNT = 6;

// The private window message that carries a tick: the first user message
// number (0x400) plus 0x62, posted with parameters 0 and 4.
constexpr unsigned WM_CLEAR_TICK = 0x0400 + 0x62;
constexpr unsigned WM_CLEAR_TICK_WPARAM = 0;
constexpr long WM_CLEAR_TICK_LPARAM = 4;

constexpr std::int32_t DEFAULT_POLL_PERIOD_MS = 1000;

extern const char* const TEXT_CLEAR_OK;         // "!!--Clear OK--!!"
extern const char* const TEXT_OPERATION_FAIL;   // "!!--Operation Fail--!!"
extern const char* const TEXT_RESPONSE_PENDING; // "!!--Rspone or Set Error--!!"

// How the Waiting tick judges the bytes it gathered.
enum class ReplyRule : std::uint8_t {
    // A frame of the request's function code with a valid check at the first
    // byte gathered; the address byte is not compared.
    Dialog,
    // The exact reply to our request from our address, anywhere in the bytes;
    // an exception reply from our address ends the run at once; a request to
    // the broadcast address is never answered, so nothing is judged.
    Field,
};

// What the Armed tick puts on the line.
enum class RequestKind : std::uint8_t {
    ClearWrite,    // write 0x0000 to register 0x004A
    ReadRegister,  // read register 0x004A (one register)
};

// What the field rule found in one tick's bytes.
struct FieldVerdict {
    enum Kind : std::uint8_t { NoReply, Accepted, Exception };
    Kind kind = NoReply;
    // The exception code, for Exception.
    std::uint8_t exceptionCode = 0;
    // The register's value, for an accepted read reply.
    std::uint16_t value = 0;
    // Without the echo setting: our request came back, followed by a frame
    // of the inverter. The line echoes; the first copy was taken for the echo.
    bool echoSeen = false;
};

// The field rule's findings over a run, for the front end to report.
struct FieldFindings {
    FieldVerdict last;
    // Set by any tick of the run that saw the line echo without the setting.
    bool echoSeen = false;
};

// 360 bytes in one store: the receive half, then the transmit half.
struct FrameBuffer {
    std::uint8_t bytes[FRAME_BUFFER_SIZE] = {};

    std::uint8_t* rx() { return bytes; }
    const std::uint8_t* rx() const { return bytes; }
    std::uint8_t* tx() { return bytes + RX_HALF_SIZE; }
    const std::uint8_t* tx() const { return bytes + RX_HALF_SIZE; }
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
    // The line hands back every byte we send (field rule only).
    bool lineEchoes = false;
    // The run fails at the check that takes retryCount above this; with 0 a
    // request gets a single check.
    std::uint8_t retryLimit = MAX_RETRY_COUNT;
    // The previous tick ended by writing the request, so its echo (if the
    // line echoes) leads this tick's bytes.
    bool requestJustSent = false;
    FieldFindings findings;

    std::uint8_t state() const { return runState.load(std::memory_order_relaxed); }
    void setState(std::uint8_t s) { runState.store(s, std::memory_order_relaxed); }
    std::int32_t period() const { return pollPeriod.load(std::memory_order_relaxed); }
    void setPeriod(std::int32_t ms) { pollPeriod.store(ms, std::memory_order_relaxed); }
};

// The process-wide record shared by the dialog and the poll thread; zero at
// process start.
ClearRun& TheClearRun();

// What a tick needs from the serial port and the dialog, in the order a tick
// may call it.
class ClearTickOps {
public:
    virtual ~ClearTickOps() = default;

    // The dialog's read buffer of RX_SCRATCH_SIZE bytes.
    virtual std::uint8_t* rxScratch() = 0;
    // Bytes waiting in the port's input queue; clears the port's error state.
    // 0 when the query fails or the port is closed.
    virtual std::uint32_t queuedByteCount() = 0;
    // Readies the completion of the write that may end this tick.
    virtual void prepareWriteEvent() = 0;
    // Takes `count` bytes out of the input queue; the first RX_SCRATCH_SIZE of
    // them go into `buffer` and their number into `bytesKept`. True only when
    // the read completed at once: the tick gathers nothing otherwise.
    virtual bool readQueued(std::uint8_t* buffer, std::uint32_t count,
                            std::uint32_t& bytesKept) = 0;
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
    // Starts the write; the tick neither waits for it nor checks it.
    virtual void writeFrame(const std::uint8_t* bytes, std::uint32_t count) = 0;
};

// Advances `run` by one tick.
void OnClearTick(ClearRun& run, ClearTickOps& ops);

// Writes the 8-byte request for `inverterAddress` (low 8 bits) into `tx`.
void BuildClearRequest(FrameBuffer& frame, std::uint32_t inverterAddress);

// Writes the 8-byte Read Holding Registers request for register 0x004A,
// quantity 1, into `tx`.
void BuildReadRequest(FrameBuffer& frame, std::uint32_t inverterAddress);

// True when the first `rxCount` gathered bytes start with a valid reply to
// the request in the transmit half.
bool IsAcceptedReply(const FrameBuffer& frame, std::uint8_t rxCount);

// The field rule over `count` gathered bytes, for the request of
// REQUEST_LENGTH bytes at `request` (a Clear or a read, by its function
// code). `lineEchoes` and `requestJustSent` together say the echo of the
// request leads the bytes.
FieldVerdict JudgeFieldReply(const std::uint8_t* request, const std::uint8_t* gathered,
                             std::size_t count, bool lineEchoes, bool requestJustSent);

// "illegal data address" for 0x02, ...; "unknown exception code" otherwise.
const char* ExceptionCodeMeaning(std::uint8_t code);

} // namespace korvanel
