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
        BuildClearRequest(run.frame, ops.inverterAddress());
        run.txLength = REQUEST_LENGTH;
        run.setState(Waiting);
        run.retryCount = 0;
        break;

    case Waiting:
        ops.setResultText(TEXT_RESPONSE_PENDING);
        if (IsAcceptedReply(run.frame, run.rxCount)) {
            resultText = TEXT_CLEAR_OK;
            ops.setResultText(resultText);
            run.setState(Succeeded);
            run.retryCount = 0;
        } else {
            ++run.retryCount;
        }
        run.txLength = 0;
        if (run.retryCount > MAX_RETRY_COUNT) {
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

    default:
        break;
    }

    if (run.state() >= Succeeded) {
        ops.StopRun();
        run.txLength = 0;
        run.setState(Idle);
        ops.showResult(resultText);
    }

    if (run.txLength > 0)
        ops.writeFrame(run.frame.tx(), run.txLength);
}

} // namespace korvanel
