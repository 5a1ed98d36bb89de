#include "capture_port.h"

#include <cstdio>

#include "clear_run.h"
#include "modbus_crc.h"

namespace korvanel {

namespace {

// What FrameLengthAt says when the bytes so far have a frame's shape but
// not yet its length.
constexpr std::size_t NEED_MORE = static_cast<std::size_t>(-1);
// A read reply's and a Write Multiple request's frames are their byte
// count plus address, function, the count itself and the check (and for
// the request, register and quantity).
constexpr std::size_t READ_REPLY_OVERHEAD = 5;
constexpr std::size_t WRITE_MULTIPLE_OVERHEAD = 9;
constexpr std::size_t WRITE_MULTIPLE_COUNT_AT = 6;

// The length of the frame that starts at `bytes`: a request or a reply of
// the functions a clear uses, or an exception, whose check is valid; 0
// when none starts here; NEED_MORE when one may once more bytes come
// (never when `final`).
std::size_t FrameLengthAt(const std::uint8_t* bytes, std::size_t left, bool final)
{
    if (left < 2)
        return final ? 0 : NEED_MORE;
    std::size_t lengths[2] = {};
    bool shapeKnown = true;
    const std::uint8_t function = bytes[1];
    if (function & EXCEPTION_FLAG) {
        lengths[0] = EXCEPTION_REPLY_LENGTH;
    } else if (function == FUNCTION_READ_HOLDING_REGISTERS) {
        lengths[0] = REQUEST_LENGTH;
        shapeKnown = left > 2;
        lengths[1] = shapeKnown ? READ_REPLY_OVERHEAD + bytes[2] : 0;
    } else if (function == FUNCTION_WRITE_SINGLE_REGISTER) {
        lengths[0] = REQUEST_LENGTH;
    } else if (function == FUNCTION_WRITE_MULTIPLE_REGISTERS) {
        lengths[0] = WRITE_MULTIPLE_REPLY_LENGTH;
        shapeKnown = left > WRITE_MULTIPLE_COUNT_AT;
        lengths[1] = shapeKnown ? WRITE_MULTIPLE_OVERHEAD + bytes[WRITE_MULTIPLE_COUNT_AT] : 0;
    } else {
        return 0;
    }
    bool mayGrow = !shapeKnown;
    for (const std::size_t length : lengths) {
        if (length == 0)
            continue;
        if (length > left)
            mayGrow = true;
        else if (HasValidCheck(bytes, length))
            return length;
    }
    return mayGrow && !final ? NEED_MORE : 0;
}

std::string Joined(const std::string& a, const std::string& b)
{
    return a.empty() ? b : b.empty() ? a : a + "; " + b;
}

} // namespace

std::vector<CapturePiece> FrameCutter::add(const std::uint8_t* bytes, std::size_t count,
                                           WallClock::time_point at)
{
    held_.insert(held_.end(), bytes, bytes + count);
    arrivals_.emplace_back(held_.size(), at);
    return cut(false);
}

std::vector<CapturePiece> FrameCutter::cut(bool final)
{
    std::vector<CapturePiece> pieces;
    std::size_t junkFrom = 0;
    std::size_t at = 0;
    while (at < held_.size()) {
        const std::size_t length = FrameLengthAt(&held_[at], held_.size() - at, final);
        if (length == NEED_MORE)
            break;
        if (length == 0) {
            ++at;
            continue;
        }
        if (junkFrom < at)
            pieces.push_back(piece(junkFrom, at, false));
        pieces.push_back(piece(at, at + length, true));
        at += length;
        junkFrom = at;
    }
    if (junkFrom < at)
        pieces.push_back(piece(junkFrom, at, false));
    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(at));
    std::vector<std::pair<std::size_t, WallClock::time_point>> left;
    for (const auto& arrival : arrivals_) {
        if (arrival.first > at)
            left.emplace_back(arrival.first - at, arrival.second);
    }
    arrivals_.swap(left);
    return pieces;
}

CapturePiece FrameCutter::piece(std::size_t from, std::size_t to, bool framed) const
{
    CapturePiece piece;
    piece.bytes.assign(held_.begin() + static_cast<std::ptrdiff_t>(from),
                       held_.begin() + static_cast<std::ptrdiff_t>(to));
    piece.framed = framed;
    for (const auto& arrival : arrivals_) {
        if (arrival.first <= from)
            continue;
        if (piece.reads++ == 0)
            piece.firstAt = arrival.second;
        piece.lastAt = arrival.second;
        if (arrival.first >= to)
            break;
    }
    return piece;
}

PortOpenResult CapturePort::open(const PortAddress& address)
{
    port_.setLineSettings(line_);
    port_.setRs485(rs485_);
    const PortOpenResult result = port_.open(address);
    // A converter may keep settings of its own: those are what the
    // packets are sent and heard at.
    line_ = port_.lineSettings();
    return result;
}

bool CapturePort::readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept)
{
    const bool completed = port_.readQueued(buffer, count, bytesKept);
    if (completed && bytesKept > 0)
        write(cutter_.add(buffer, bytesKept, CaptureFile::WallClock::now()));
    return completed;
}

void CapturePort::writeFrame(const std::uint8_t* bytes, std::uint32_t count)
{
    // A frame begun before this request stays held: the run's window
    // still joins its rest to it (a split reply around a resend).
    port_.writeFrame(bytes, count);
    if (count == 0)
        return;
    lastUnit_ = bytes[0];
    const PortStatus status = port_.status();
    const std::string problem =
        status.reason == PortStatus::Reason::WriteCutShort ? status.text : std::string();
    file_.record(CaptureDirection::ToInverter, lastUnit_, bytes, count,
                 CaptureFile::WallClock::now(), comment(CaptureDirection::ToInverter, problem));
}

void CapturePort::write(const std::vector<CapturePiece>& pieces)
{
    for (const CapturePiece& piece : pieces) {
        std::string more = piece.framed ? std::string() : "bytes that made no frame";
        if (piece.reads > 1) {
            char spread[64];
            std::snprintf(
                spread, sizeof spread, "arrived in %u reads over %.1f ms", piece.reads,
                std::chrono::duration<double, std::milli>(piece.lastAt - piece.firstAt).count());
            more = Joined(more, spread);
        }
        file_.record(CaptureDirection::FromInverter, piece.framed ? piece.bytes[0] : lastUnit_,
                     piece.bytes.data(), piece.bytes.size(), piece.lastAt,
                     comment(CaptureDirection::FromInverter, more));
    }
}

std::string CapturePort::comment(CaptureDirection direction, std::string more) const
{
    return Joined(Joined(lineOfOurs_ ? line_.text() : std::string(), port_.captureNote(direction)),
                  more);
}

} // namespace korvanel
