#include "clear_run.h"

#include <algorithm>
#include <cstring>

#include "modbus_crc.h"

namespace korvanel {

ClearRun& TheClearRun()
{
    static ClearRun run;
    return run;
}

namespace {

// Address, function, the register 0x004A, one word (the value written or
// the quantity read), then the check over those six bytes.
void BuildRequest(FrameBuffer& frame, std::uint32_t inverterAddress, std::uint8_t function,
                  std::uint16_t word)
{
    std::uint8_t* tx = frame.tx();
    tx[0] = static_cast<std::uint8_t>(inverterAddress & 0xFFu);
    tx[1] = function;
    tx[2] = static_cast<std::uint8_t>(CLEAR_REGISTER >> 8);
    tx[3] = static_cast<std::uint8_t>(CLEAR_REGISTER & 0xFFu);
    tx[4] = static_cast<std::uint8_t>(word >> 8);
    tx[5] = static_cast<std::uint8_t>(word & 0xFFu);
    // The check's high byte is the one that goes first on the wire.
    const std::uint16_t crc = ModbusCrc16(frame, 0, CHECKED_LENGTH);
    tx[6] = static_cast<std::uint8_t>(crc >> 8);
    tx[7] = static_cast<std::uint8_t>(crc & 0xFFu);
}

} // namespace

void BuildClearRequest(FrameBuffer& frame, std::uint32_t inverterAddress)
{
    BuildRequest(frame, inverterAddress, FUNCTION_WRITE_SINGLE_REGISTER, CLEAR_VALUE);
}

void BuildReadRequest(FrameBuffer& frame, std::uint32_t inverterAddress)
{
    // One register: quantity 0x0001, so the reply carries a byte count of 2.
    constexpr std::uint16_t quantity = 1;
    BuildRequest(frame, inverterAddress, FUNCTION_READ_HOLDING_REGISTERS, quantity);
}

void BuildClearRequestMultiple(FrameBuffer& frame, std::uint32_t inverterAddress)
{
    // The same head as a Write Single Register request, with the quantity (1)
    // in place of the value; then the byte count and the value itself.
    BuildRequest(frame, inverterAddress, FUNCTION_WRITE_MULTIPLE_REGISTERS, 1);
    std::uint8_t* tx = frame.tx();
    constexpr std::uint8_t oneRegisterBytes = 2;
    tx[6] = oneRegisterBytes;
    tx[7] = static_cast<std::uint8_t>(CLEAR_VALUE >> 8);
    tx[8] = static_cast<std::uint8_t>(CLEAR_VALUE & 0xFFu);
    constexpr std::uint8_t checked = WRITE_MULTIPLE_REQUEST_LENGTH - 2;
    const std::uint16_t crc = ModbusCrc16(frame, 0, checked);
    tx[9] = static_cast<std::uint8_t>(crc >> 8);
    tx[10] = static_cast<std::uint8_t>(crc & 0xFFu);
}

bool IsAcceptedReply(const FrameBuffer& frame, std::uint8_t rxCount)
{
    // A reply must have been received whole within this tick: the wiped bytes
    // of a short reply are not check bytes the inverter sent.
    if (rxCount < REQUEST_LENGTH)
        return false;
    const std::uint8_t* rx = frame.rx();
    // The address byte and the echoed register and value are not compared:
    // only the function code and the check decide.
    if (rx[1] != frame.tx()[1])
        return false;
    const std::uint16_t received = static_cast<std::uint16_t>(rx[6] << 8 | rx[7]);
    return ModbusCrc16(frame, 1, CHECKED_LENGTH) == received;
}

ExceptionMeaning MeaningOf(std::uint8_t exceptionCode)
{
    switch (exceptionCode) {
    case EXCEPTION_ACKNOWLEDGE: return ExceptionMeaning::Acknowledge;
    case EXCEPTION_SERVER_DEVICE_BUSY: return ExceptionMeaning::Busy;
    case EXCEPTION_GATEWAY_PATH_UNAVAILABLE:
    case EXCEPTION_GATEWAY_TARGET_NO_RESPONSE: return ExceptionMeaning::Gateway;
    default: return ExceptionMeaning::Refusal;
    }
}

namespace {

// Empties the port's input queue into the receive half, and under the field
// rule onto the end of the run's window. For the dialog's rule whatever
// arrived since the last tick is this tick's reply or nothing: bytes of
// earlier intervals are gone, so a reply must start at the first byte
// gathered.
void GatherQueuedBytes(ClearRun& run, ClearTickOps& ops)
{
    std::uint8_t* scratch = ops.rxScratch();
    std::memset(scratch, 0, RX_SCRATCH_SIZE);
    std::memset(run.frame.rx(), 0, RX_CLEARED_PREFIX);

    TickPort& port = ops.port();
    const std::uint32_t queued = port.queuedByteCount();
    port.prepareWriteEvent();

    run.rxCount = 0;
    std::uint32_t kept = 0;
    if (!port.readQueued(scratch, queued, kept))
        return;
    if (kept > RX_SCRATCH_SIZE)
        kept = RX_SCRATCH_SIZE;
    std::uint8_t* rx = run.frame.rx();
    for (std::uint32_t i = 0; i < kept && run.rxCount < RX_HALF_SIZE; ++i)
        rx[run.rxCount++] = scratch[i];
    run.echo.heard(scratch, kept);
    // Only a run that has sent gathers a window: bytes before its first
    // request are not its replies.
    if (run.replyRule == ReplyRule::Field && run.state() == Waiting) {
        const std::size_t room =
            REPLY_WINDOW_LIMIT - std::min(run.window.size(), REPLY_WINDOW_LIMIT);
        run.window.insert(run.window.end(), scratch, scratch + std::min<std::size_t>(kept, room));
    }
}

// What the Waiting tick's bytes amount to under the run's rule.
enum class Check { NoReply, Accepted, Refused };

// The outcome Finish() records, with the exception code or the value it
// rests on. A run that ran out of checks on an exception that answers (an
// acknowledge to a read) ends refused by it.
RunVerdict VerdictOf(const ClearRun& run, Check check)
{
    RunVerdict verdict;
    const FieldFindings& found = run.findings;
    if (check == Check::Accepted) {
        verdict.kind = RunVerdict::Accepted;
        verdict.value = found.last.value;
    } else if (check == Check::Refused || found.last.kind == FieldVerdict::Exception) {
        verdict.kind = RunVerdict::Refused;
        verdict.exceptionCode = found.last.exceptionCode;
    } else {
        verdict.kind = RunVerdict::Unanswered;
        verdict.exceptionCode =
            found.passingExceptions.empty() ? 0 : found.passingExceptions.back();
    }
    return verdict;
}

// The request the run is judged against: the one in the transmit half,
// which keeps its length between sends.
std::size_t RequestLengthOf(const ClearRun& run)
{
    return run.frame.tx()[1] == FUNCTION_WRITE_MULTIPLE_REGISTERS ? WRITE_MULTIPLE_REQUEST_LENGTH
                                                                  : REQUEST_LENGTH;
}

Check JudgeWindow(ClearRun& run)
{
    // A broadcast is executed by every inverter and answered by none: any
    // bytes now are an echo or another inverter's noise.
    if (run.frame.tx()[0] == BROADCAST_ADDRESS)
        return Check::NoReply;
    ReplyWindow window;
    window.bytes = run.window.data();
    window.count = run.window.size();
    window.sends = run.echo.sends();
    window.echo = run.echo.state();
    window.probe = run.echo.probe();
    const FieldVerdict verdict = JudgeReplyWindow(run.frame.tx(), RequestLengthOf(run), window);
    FieldFindings& found = run.findings;
    if (verdict.passingException != 0 &&
        (found.passingExceptions.empty() ||
         found.passingExceptions.back() != verdict.passingException))
        found.passingExceptions.push_back(verdict.passingException);
    found.last = verdict;
    switch (verdict.kind) {
    case FieldVerdict::Accepted:
        // After an acknowledge only a read of 0 proves the write.
        if (found.acknowledged) {
            found.valueRead = true;
            found.valueAfterAcknowledge = verdict.value;
            return verdict.value == CLEAR_VALUE ? Check::Accepted : Check::NoReply;
        }
        return Check::Accepted;
    case FieldVerdict::Exception:
        if (run.fallBackToMultiple && !found.fellBack &&
            verdict.exceptionCode == EXCEPTION_ILLEGAL_FUNCTION &&
            run.frame.tx()[1] == FUNCTION_WRITE_SINGLE_REGISTER) {
            // The inverter lacks 0x06, not the register: the same write as
            // 0x10 goes out on the next request tick and is judged afresh.
            found.fellBack = true;
            BuildClearRequestMultiple(run.frame, run.frame.tx()[0]);
            run.window.clear();
            run.echo.newRequest();
            return Check::NoReply;
        }
        if (MeaningOf(verdict.exceptionCode) != ExceptionMeaning::Acknowledge)
            return Check::Refused;
        // A write taken and still in progress is proved by reads; a read
        // that is still being worked on is simply not answered yet.
        if (run.requestKind != RequestKind::ReadRegister)
            found.acknowledged = true;
        return Check::NoReply;
    case FieldVerdict::NoReply: break;
    }
    return Check::NoReply;
}

Check CheckGathered(ClearRun& run)
{
    if (run.replyRule == ReplyRule::Dialog)
        return IsAcceptedReply(run.frame, run.rxCount) ? Check::Accepted : Check::NoReply;
    return JudgeWindow(run);
}

// The Waiting run has its outcome: the text goes to the result field and
// the run is marked finished for the end of the tick.
void Finish(ClearRun& run, ClearTickOps& ops, Check check, std::string& resultText)
{
    run.retryCount = 0;
    run.txLength = 0;
    run.verdict = VerdictOf(run, check);
    resultText = check == Check::Accepted ? TEXT_CLEAR_OK : TEXT_OPERATION_FAIL;
    ops.setResultText(resultText);
    run.setState(check == Check::Accepted ? Succeeded : Failed);
}

// A finished run closes the port and shows its outcome; the dialog's modal
// box returns when the user has read it.
void EndIfFinished(ClearRun& run, ClearTickOps& ops, const std::string& resultText)
{
    if (run.state() < Succeeded)
        return;
    ops.StopRun();
    run.txLength = 0;
    run.setState(Idle);
    ops.showResult(resultText);
}

// The request for the next send: after an acknowledge the write is proved
// by reading the register back instead of writing again.
void PrepareResend(ClearRun& run, std::uint32_t inverterAddress)
{
    if (run.findings.acknowledged && run.frame.tx()[1] != FUNCTION_READ_HOLDING_REGISTERS) {
        BuildReadRequest(run.frame, inverterAddress);
        run.echo.newRequest();
    }
    run.txLength = static_cast<std::uint8_t>(RequestLengthOf(run));
}

class TickGuard {
public:
    explicit TickGuard(bool& flag) : flag_(flag) { flag_ = true; }
    ~TickGuard() { flag_ = false; }
    TickGuard(const TickGuard&) = delete;
    TickGuard& operator=(const TickGuard&) = delete;

private:
    bool& flag_;
};

} // namespace

void OnReplyInput(ClearRun& run, ClearTickOps& ops)
{
    if (run.tickInProgress || run.replyRule != ReplyRule::Field || run.state() != Waiting)
        return;
    TickGuard guard(run.tickInProgress);
    GatherQueuedBytes(run, ops);
    const Check check = JudgeWindow(run);
    if (check == Check::NoReply)
        return;
    std::string resultText;
    Finish(run, ops, check, resultText);
    EndIfFinished(run, ops, resultText);
}

void OnClearTick(ClearRun& run, ClearTickOps& ops)
{
    // Ticks keep coming while a message box this tick opened is up; they must
    // not stack further boxes or resend.
    if (run.tickInProgress)
        return;
    TickGuard guard(run.tickInProgress);

    GatherQueuedBytes(run, ops);

    std::string resultText;
    switch (run.state()) {
    case Armed:
        // The fields are read again so an address typed after the press is
        // used; if it no longer parses the run stops rather than writing to
        // an inverter the user did not choose.
        if (!ops.exchangeFieldsFromControls()) {
            ops.StopRun();
            run.txLength = 0;
            run.setState(Idle);
            return;
        }
        if (run.requestKind == RequestKind::ReadRegister)
            BuildReadRequest(run.frame, ops.inverterAddress());
        else if (run.requestKind == RequestKind::ClearWriteMultiple)
            BuildClearRequestMultiple(run.frame, ops.inverterAddress());
        else
            BuildClearRequest(run.frame, ops.inverterAddress());
        run.findings = FieldFindings{};
        run.verdict = RunVerdict{};
        run.window.clear();
        run.echo.newRun();
        run.txLength = static_cast<std::uint8_t>(RequestLengthOf(run));
        run.setState(Waiting);
        run.retryCount = 0;
        break;

    case Waiting: {
        ops.setResultText(TEXT_RESPONSE_PENDING);
        const Check check = CheckGathered(run);
        // A successful read closes with the same text; its value is in
        // run.findings.
        run.txLength = 0;
        if (check == Check::Accepted) {
            Finish(run, ops, check, resultText);
        } else if (check == Check::Refused || ++run.retryCount > run.retryLimit) {
            // An inverter that refused says so once; asking again changes
            // nothing.
            Finish(run, ops, check, resultText);
        } else if (run.retryCount % 2 == 0) {
            // Every second unsuccessful check sends the request again.
            PrepareResend(run, ops.inverterAddress());
        }
        ops.exchangeFieldsToControls();
        break;
    }

    default: break;
    }

    EndIfFinished(run, ops, resultText);

    if (run.txLength > 0) {
        TickPort& port = ops.port();
        port.writeFrame(run.frame.tx(), run.txLength);
        if (port.lastWriteWhole())
            run.echo.sent();
    }
}

} // namespace korvanel
