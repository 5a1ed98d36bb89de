// The field rule's reading of the bytes a run heard: the reply window
// judged, the probe read's window, read answers in any bytes, and the echo
// tracker that counts what an echoing line owes.
#include <algorithm>
#include <cstring>

#include "clear_run.h"
#include "modbus_crc.h"

namespace korvanel {

unsigned CountCopies(const std::uint8_t* bytes, std::size_t count, const std::uint8_t* frame,
                     std::size_t frameLength)
{
    unsigned copies = 0;
    for (std::size_t at = 0; frameLength > 0 && at + frameLength <= count;) {
        if (std::memcmp(bytes + at, frame, frameLength) == 0) {
            ++copies;
            at += frameLength;
        } else {
            ++at;
        }
    }
    return copies;
}

namespace {

// We ask for one register, so a read's reply counts two bytes.
constexpr std::uint8_t ONE_REGISTER_BYTES = 2;

bool IsExceptionFrom(const std::uint8_t* bytes, std::size_t count, std::uint8_t address,
                     std::uint8_t function)
{
    return count >= EXCEPTION_REPLY_LENGTH && bytes[0] == address &&
           bytes[1] == (function | EXCEPTION_FLAG) && HasValidCheck(bytes, EXCEPTION_REPLY_LENGTH);
}

bool IsReadReplyFrom(const std::uint8_t* bytes, std::size_t count, std::uint8_t address)
{
    return count >= READ_REPLY_LENGTH && bytes[0] == address &&
           bytes[1] == FUNCTION_READ_HOLDING_REGISTERS && bytes[2] == ONE_REGISTER_BYTES &&
           HasValidCheck(bytes, READ_REPLY_LENGTH);
}

// A Write Multiple Registers reply repeats the request's first six bytes
// (address, function, register, quantity) under its own check.
bool IsWriteMultipleReply(const std::uint8_t* bytes, std::size_t count, const std::uint8_t* request)
{
    return count >= WRITE_MULTIPLE_REPLY_LENGTH && std::memcmp(bytes, request, 6) == 0 &&
           HasValidCheck(bytes, WRITE_MULTIPLE_REPLY_LENGTH);
}

std::uint16_t ReadValue(const std::uint8_t* reply)
{
    return static_cast<std::uint16_t>(reply[3] << 8 | reply[4]);
}

} // namespace

FieldVerdict JudgeReplyWindow(const std::uint8_t* request, std::size_t requestLength,
                              const ReplyWindow& window)
{
    FieldVerdict verdict;
    const std::uint8_t address = request[0];
    const std::uint8_t function = request[1];
    // The reply to a Write Single Register is the request itself, so on a
    // line that echoes only the copies beyond one per send are replies. A
    // read's and a Write Multiple's replies differ from their requests:
    // a copy of those is always an echo.
    const bool replyIsCopy = function == FUNCTION_WRITE_SINGLE_REGISTER;
    bool echoes = window.echo == LineEcho::Echoes;
    bool readAnswered = false;

    const std::uint8_t* bytes = window.bytes;
    const std::size_t count = window.count;
    std::size_t at = 0;
    while (at < count) {
        const std::uint8_t* here = bytes + at;
        const std::size_t left = count - at;
        if (window.probe && left >= REQUEST_LENGTH &&
            std::memcmp(here, window.probe, REQUEST_LENGTH) == 0) {
            verdict.probeCopySeen = true;
            echoes = true;
            at += REQUEST_LENGTH;
            continue;
        }
        if (left >= requestLength && std::memcmp(here, request, requestLength) == 0) {
            ++verdict.copies;
            // Taken, but the rest of the window is still read: an exception
            // from the inverter outweighs a copy, which an echo can be.
            if (replyIsCopy && verdict.copies > (echoes ? window.sends : 0u))
                verdict.kind = FieldVerdict::Accepted;
            at += requestLength;
            continue;
        }
        if (IsExceptionFrom(here, left, address, function)) {
            const std::uint8_t code = here[2];
            const ExceptionMeaning meaning = MeaningOf(code);
            if (meaning == ExceptionMeaning::Refusal || meaning == ExceptionMeaning::Acknowledge) {
                verdict.kind = FieldVerdict::Exception;
                verdict.exceptionCode = code;
                return verdict;
            }
            verdict.passingException = code;
            at += EXCEPTION_REPLY_LENGTH;
            continue;
        }
        if (function == FUNCTION_READ_HOLDING_REGISTERS && IsReadReplyFrom(here, left, address)) {
            // Keep looking: after an acknowledge the last value read counts.
            readAnswered = true;
            verdict.value = ReadValue(here);
            at += READ_REPLY_LENGTH;
            continue;
        }
        if (function == FUNCTION_WRITE_MULTIPLE_REGISTERS &&
            IsWriteMultipleReply(here, left, request)) {
            verdict.kind = FieldVerdict::Accepted;
            at += WRITE_MULTIPLE_REPLY_LENGTH;
            continue;
        }
        ++at;
    }
    if (readAnswered)
        verdict.kind = FieldVerdict::Accepted;
    return verdict;
}

namespace {

// The fewest bytes inserted, dropped or changed that turn some stretch of
// `bytes` into the request: 0 for a copy, a few for a copy a glitch or a
// noise byte changed, about the request's length for bytes unrelated to it.
std::size_t DistanceToNearestCopy(const std::uint8_t* request, const std::uint8_t* bytes,
                                  std::size_t count)
{
    // One column per byte of the window; row i is the cost of matching the
    // request's first i bytes against a stretch ending there (a stretch may
    // start anywhere, so row 0 costs nothing).
    std::size_t previous[REQUEST_LENGTH + 1];
    for (std::size_t i = 0; i <= REQUEST_LENGTH; ++i)
        previous[i] = i;
    std::size_t best = previous[REQUEST_LENGTH];
    for (std::size_t j = 0; j < count; ++j) {
        std::size_t current[REQUEST_LENGTH + 1];
        current[0] = 0;
        for (std::size_t i = 1; i <= REQUEST_LENGTH; ++i)
            current[i] = std::min({previous[i - 1] + (request[i - 1] == bytes[j] ? 0u : 1u),
                                   previous[i] + 1, current[i - 1] + 1});
        best = std::min(best, current[REQUEST_LENGTH]);
        std::copy(current, current + REQUEST_LENGTH + 1, previous);
    }
    return best;
}

} // namespace

ProbeEcho ReadProbeWindow(const std::uint8_t* request, const std::uint8_t* bytes, std::size_t count)
{
    ProbeEcho found;
    // Half the request's bytes must survive: random noise is that close to
    // it only by a chance of about one in four billion per position.
    constexpr std::size_t nearCopyDistance = REQUEST_LENGTH / 2;
    const std::uint8_t address = request[0];
    // Each stretch between the frames found is looked at on its own: an
    // answer next to noise must not pass for a spoiled copy.
    std::size_t stretch = 0;
    auto endStretch = [&](std::size_t end) {
        if (end > stretch &&
            DistanceToNearestCopy(request, bytes + stretch, end - stretch) <= nearCopyDistance)
            found.nearCopy = true;
    };
    for (std::size_t at = 0; at < count;) {
        const std::uint8_t* here = bytes + at;
        const std::size_t left = count - at;
        std::size_t length = 0;
        if (left >= REQUEST_LENGTH && std::memcmp(here, request, REQUEST_LENGTH) == 0) {
            ++found.copies;
            length = REQUEST_LENGTH;
        } else if (IsReadReplyFrom(here, left, address)) {
            found.answered = true;
            length = READ_REPLY_LENGTH;
        } else if (IsExceptionFrom(here, left, address, FUNCTION_READ_HOLDING_REGISTERS)) {
            found.answered = true;
            length = EXCEPTION_REPLY_LENGTH;
        }
        if (length == 0) {
            ++found.unexplained;
            ++at;
        } else {
            endStretch(at);
            at += length;
            stretch = at;
        }
    }
    endStretch(count);
    return found;
}

std::vector<ReadAnswer> FindReadAnswers(const std::uint8_t* bytes, std::size_t count)
{
    std::vector<ReadAnswer> found;
    for (std::size_t at = 0; at < count;) {
        const std::uint8_t* here = bytes + at;
        const std::size_t left = count - at;
        ReadAnswer answer;
        answer.address = here[0];
        std::size_t length = 0;
        if (IsReadReplyFrom(here, left, here[0])) {
            answer.value = ReadValue(here);
            length = READ_REPLY_LENGTH;
        } else if (IsExceptionFrom(here, left, here[0], FUNCTION_READ_HOLDING_REGISTERS)) {
            answer.exception = true;
            answer.exceptionCode = here[2];
            length = EXCEPTION_REPLY_LENGTH;
        }
        if (length == 0) {
            ++at;
            continue;
        }
        answer.endOffset = at + length - 1;
        found.push_back(answer);
        at += length;
    }
    return found;
}

void EchoTracker::lookForCopyOf(const std::uint8_t* request)
{
    probe_.assign(request, request + REQUEST_LENGTH);
    tail_.clear();
}

void EchoTracker::heard(const std::uint8_t* bytes, std::size_t count)
{
    if (probe_.empty() || state_ == LineEcho::Echoes || count == 0)
        return;
    tail_.insert(tail_.end(), bytes, bytes + count);
    if (CountCopies(tail_.data(), tail_.size(), probe_.data(), REQUEST_LENGTH) > 0)
        state_ = LineEcho::Echoes;
    const std::size_t keep = std::min<std::size_t>(tail_.size(), REQUEST_LENGTH - 1);
    tail_.erase(tail_.begin(), tail_.end() - static_cast<std::ptrdiff_t>(keep));
}

ProbeEcho EchoTracker::judgeProbe(const std::uint8_t* request, const std::uint8_t* bytes,
                                  std::size_t count)
{
    const ProbeEcho found = ReadProbeWindow(request, bytes, count);
    if (found.copies > 0)
        state_ = LineEcho::Echoes;
    else if (state_ != LineEcho::Echoes && !found.nearCopy) {
        state_ = LineEcho::NoEcho;
        // A slow adapter's copy may still come: it proves the echo
        // wherever it lands.
        lookForCopyOf(request);
    }
    return found;
}

} // namespace korvanel
