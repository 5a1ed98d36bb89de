#include "clear_run.h"

#include <cstring>

#include "modbus_crc.h"

namespace korvanel {

const char* const TEXT_CLEAR_OK = "!!--Clear OK--!!";
const char* const TEXT_OPERATION_FAIL = "!!--Operation Fail--!!";
const char* const TEXT_RESPONSE_PENDING = "!!--Rspone or Set Error--!!";

ClearRun& TheClearRun()
{
    static ClearRun run;
    return run;
}

void BuildClearRequest(FrameBuffer& frame, std::uint32_t inverterAddress)
{
    std::uint8_t* tx = frame.tx();
    tx[0] = static_cast<std::uint8_t>(inverterAddress & 0xFFu);
    tx[1] = FUNCTION_WRITE_SINGLE_REGISTER;
    tx[2] = static_cast<std::uint8_t>(CLEAR_REGISTER >> 8);
    tx[3] = static_cast<std::uint8_t>(CLEAR_REGISTER & 0xFFu);
    tx[4] = static_cast<std::uint8_t>(CLEAR_VALUE >> 8);
    tx[5] = static_cast<std::uint8_t>(CLEAR_VALUE & 0xFFu);
    // The check's high byte is the one that goes first on the wire.
    const std::uint16_t crc = ModbusCrc16(frame, 0, CHECKED_LENGTH);
    tx[6] = static_cast<std::uint8_t>(crc >> 8);
    tx[7] = static_cast<std::uint8_t>(crc & 0xFFu);
}

void BuildReadRequest(FrameBuffer& frame, std::uint32_t inverterAddress)
{
    // One register: quantity 0x0001, so the reply carries a byte count of 2.
    constexpr std::uint16_t quantity = 1;
    std::uint8_t* tx = frame.tx();
    tx[0] = static_cast<std::uint8_t>(inverterAddress & 0xFFu);
    tx[1] = FUNCTION_READ_HOLDING_REGISTERS;
    tx[2] = static_cast<std::uint8_t>(CLEAR_REGISTER >> 8);
    tx[3] = static_cast<std::uint8_t>(CLEAR_REGISTER & 0xFFu);
    tx[4] = static_cast<std::uint8_t>(quantity >> 8);
    tx[5] = static_cast<std::uint8_t>(quantity & 0xFFu);
    const std::uint16_t crc = ModbusCrc16(frame, 0, CHECKED_LENGTH);
    tx[6] = static_cast<std::uint8_t>(crc >> 8);
    tx[7] = static_cast<std::uint8_t>(crc & 0xFFu);
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

namespace {

bool HasValidCheck(const std::uint8_t* frame, std::size_t length)
{
    const std::uint16_t crc = ModbusCrc16Bytes(frame, length - 2);
    return frame[length - 2] == (crc >> 8) && frame[length - 1] == (crc & 0xFFu);
}

// The frame of our inverter that starts at `bytes`, if any: an exception to
// our function, or the exact reply to our request.
FieldVerdict FrameAt(const std::uint8_t* request, const std::uint8_t* bytes, std::size_t count)
{
    FieldVerdict found;
    const std::uint8_t address = request[0];
    const std::uint8_t function = request[1];
    if (count >= EXCEPTION_REPLY_LENGTH && bytes[0] == address &&
        bytes[1] == (function | EXCEPTION_FLAG) && HasValidCheck(bytes, EXCEPTION_REPLY_LENGTH)) {
        found.kind = FieldVerdict::Exception;
        found.exceptionCode = bytes[2];
        return found;
    }
    if (function == FUNCTION_WRITE_SINGLE_REGISTER) {
        // The reply to a Write Single Register is the request itself: address,
        // function, register, value and (so) the same check.
        if (count >= REQUEST_LENGTH && std::memcmp(bytes, request, REQUEST_LENGTH) == 0)
            found.kind = FieldVerdict::Accepted;
        return found;
    }
    // We ask for one register, so the reply counts two bytes.
    constexpr std::uint8_t oneRegisterBytes = 2;
    if (function == FUNCTION_READ_HOLDING_REGISTERS && count >= READ_REPLY_LENGTH &&
        bytes[0] == address && bytes[1] == function && bytes[2] == oneRegisterBytes &&
        HasValidCheck(bytes, READ_REPLY_LENGTH)) {
        found.kind = FieldVerdict::Accepted;
        found.value = static_cast<std::uint16_t>(bytes[3] << 8 | bytes[4]);
    }
    return found;
}

// The first frame of our inverter anywhere in the bytes: junk before it (a
// glitch at the line's turnaround, another inverter's traffic) is skipped.
FieldVerdict FirstFrame(const std::uint8_t* request, const std::uint8_t* bytes, std::size_t count)
{
    for (std::size_t at = 0; at < count; ++at) {
        const FieldVerdict found = FrameAt(request, bytes + at, count - at);
        if (found.kind != FieldVerdict::NoReply)
            return found;
    }
    return FieldVerdict{};
}

// Empties the port's input queue into the receive half. Whatever arrived
// since the last tick is this tick's reply or nothing: bytes of earlier
// intervals are gone, so a reply must start at the first byte gathered.
void GatherQueuedBytes(ClearRun& run, ClearTickOps& ops)
{
    std::uint8_t* scratch = ops.rxScratch();
    std::memset(scratch, 0, RX_SCRATCH_SIZE);
    std::memset(run.frame.rx(), 0, RX_CLEARED_PREFIX);

    const std::uint32_t queued = ops.queuedByteCount();
    ops.prepareWriteEvent();

    run.rxCount = 0;
    std::uint32_t kept = 0;
    if (!ops.readQueued(scratch, queued, kept))
        return;
    if (kept > RX_SCRATCH_SIZE)
        kept = RX_SCRATCH_SIZE;
    std::uint8_t* rx = run.frame.rx();
    for (std::uint32_t i = 0; i < kept && run.rxCount < RX_HALF_SIZE; ++i)
        rx[run.rxCount++] = scratch[i];
}

// What the Waiting tick's bytes amount to under the run's rule.
enum class Check { NoReply, Accepted, Refused };

Check CheckGathered(ClearRun& run)
{
    if (run.replyRule == ReplyRule::Dialog)
        return IsAcceptedReply(run.frame, run.rxCount) ? Check::Accepted : Check::NoReply;
    // A broadcast is executed by every inverter and answered by none: any
    // bytes now are an echo or another inverter's noise.
    if (run.frame.tx()[0] == BROADCAST_ADDRESS)
        return Check::NoReply;
    const FieldVerdict verdict = JudgeFieldReply(run.frame.tx(), run.frame.rx(), run.rxCount,
                                                 run.lineEchoes, run.requestJustSent);
    run.findings.last = verdict;
    if (verdict.echoSeen)
        run.findings.echoSeen = true;
    switch (verdict.kind) {
    case FieldVerdict::Accepted:
        return Check::Accepted;
    case FieldVerdict::Exception:
        return Check::Refused;
    case FieldVerdict::NoReply:
        break;
    }
    return Check::NoReply;
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

FieldVerdict JudgeFieldReply(const std::uint8_t* request, const std::uint8_t* gathered,
                             std::size_t count, bool lineEchoes, bool requestJustSent)
{
    // An echoing line hands our request back as it goes out, so it leads the
    // bytes of the tick after a send.
    const bool echoFirst = requestJustSent && count >= REQUEST_LENGTH &&
                           std::memcmp(gathered, request, REQUEST_LENGTH) == 0;
    if (echoFirst) {
        FieldVerdict rest = FirstFrame(request, gathered + REQUEST_LENGTH, count - REQUEST_LENGTH);
        if (lineEchoes)
            return rest;
        // Not told the line echoes, but our request came back and the
        // inverter's frame followed it: no inverter sends two frames for one
        // request, so the first copy was the echo. Only what follows counts,
        // so an exception behind the echo is not hidden by the echo, which
        // looks like a Clear's reply. A request that came back alone cannot
        // be told from a Clear's reply here; a read (--verify) can.
        if (rest.kind != FieldVerdict::NoReply) {
            rest.echoSeen = true;
            return rest;
        }
    }
    return FirstFrame(request, gathered, count);
}

const char* ExceptionCodeMeaning(std::uint8_t code)
{
    switch (code) {
    case 0x01: return "illegal function";
    case 0x02: return "illegal data address";
    case 0x03: return "illegal data value";
    case 0x04: return "server device failure";
    case 0x05: return "acknowledge";
    case 0x06: return "server device busy";
    case 0x08: return "memory parity error";
    case 0x0A: return "gateway path unavailable";
    case 0x0B: return "gateway target device failed to respond";
    default: return "unknown exception code";
    }
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
        else
            BuildClearRequest(run.frame, ops.inverterAddress());
        run.findings = FieldFindings{};
        run.txLength = REQUEST_LENGTH;
        run.setState(Waiting);
        run.retryCount = 0;
        break;

    case Waiting: {
        ops.setResultText(TEXT_RESPONSE_PENDING);
        const Check check = CheckGathered(run);
        // A successful read closes with the same text; its value is in
        // run.findings.
        if (check == Check::Accepted) {
            resultText = TEXT_CLEAR_OK;
            ops.setResultText(resultText);
            run.setState(Succeeded);
            run.retryCount = 0;
        } else {
            ++run.retryCount;
        }
        run.txLength = 0;
        // An inverter that refused says so once; asking again changes nothing.
        if (check == Check::Refused || run.retryCount > run.retryLimit) {
            run.setState(Failed);
            run.retryCount = 0;
            resultText = TEXT_OPERATION_FAIL;
            ops.setResultText(resultText);
        } else if (run.retryCount % 2 == 0) {
            // Every second unsuccessful check sends the unchanged request
            // again. A run that has just succeeded passes here too, with
            // retryCount 0; it is stopped below before anything is sent.
            run.txLength = REQUEST_LENGTH;
        }
        ops.exchangeFieldsToControls();
        break;
    }

    default:
        break;
    }

    if (run.state() >= Succeeded) {
        ops.StopRun();
        run.txLength = 0;
        run.setState(Idle);
        ops.showResult(resultText);
    }

    run.requestJustSent = run.txLength > 0;
    if (run.txLength > 0)
        ops.writeFrame(run.frame.tx(), run.txLength);
}

} // namespace korvanel
