#include "mbap.h"

#include "modbus_crc.h"

namespace korvanel {

namespace {

constexpr std::size_t RTU_OVERHEAD = 3; // address and two check bytes
constexpr std::uint16_t MBAP_PROTOCOL_MODBUS = 0;
// The length field counts the unit id and the PDU.
constexpr std::uint16_t MBAP_MIN_LENGTH = 2;
constexpr std::uint16_t MBAP_MAX_LENGTH = 1 + MAX_PDU_SIZE;

// Where each field of the header starts; each is big-endian.
enum MbapOffset : std::size_t {
    MBAP_TRANSACTION_ID = 0,
    MBAP_PROTOCOL_ID = 2,
    MBAP_LENGTH_FIELD = 4,
    MBAP_UNIT_ID = 6,
};

std::uint16_t BigEndian16(const std::uint8_t* p)
{
    return static_cast<std::uint16_t>(p[0] << 8 | p[1]);
}

void PutBigEndian16(std::vector<std::uint8_t>& out, std::uint16_t value)
{
    out.push_back(static_cast<std::uint8_t>(value >> 8));
    out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

} // namespace

std::vector<std::uint8_t> MbapFromRtu(std::uint16_t transactionId, const std::uint8_t* rtu,
                                      std::size_t length)
{
    std::vector<std::uint8_t> adu;
    if (length < RTU_OVERHEAD + 1 || length - RTU_OVERHEAD > MAX_PDU_SIZE)
        return adu;
    const std::size_t pduLength = length - RTU_OVERHEAD;
    adu.reserve(MBAP_HEADER_SIZE + pduLength);
    PutBigEndian16(adu, transactionId);
    PutBigEndian16(adu, MBAP_PROTOCOL_MODBUS);
    PutBigEndian16(adu, static_cast<std::uint16_t>(1 + pduLength));
    adu.push_back(rtu[0]);
    adu.insert(adu.end(), rtu + 1, rtu + 1 + pduLength);
    return adu;
}

std::vector<std::uint8_t> RtuFromMbap(const MbapFrame& frame)
{
    std::vector<std::uint8_t> rtu;
    rtu.reserve(frame.pdu.size() + RTU_OVERHEAD);
    rtu.push_back(frame.unitId);
    rtu.insert(rtu.end(), frame.pdu.begin(), frame.pdu.end());
    AppendCheck(rtu);
    return rtu;
}

void MbapReader::feed(const std::uint8_t* bytes, std::size_t length)
{
    // Frames already handed out are dropped before the buffer grows, so it
    // never holds more than one partial frame and what just came.
    if (start_ > 0) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buffer_.insert(buffer_.end(), bytes, bytes + length);
}

MbapReader::Result MbapReader::next(MbapFrame& frame)
{
    if (pending() < MBAP_HEADER_SIZE)
        return Result::NeedMore;
    const std::uint8_t* head = buffer_.data() + start_;
    // Neither fault can be skipped over: without a trusted length there is
    // no telling where the next frame starts.
    if (BigEndian16(head + MBAP_PROTOCOL_ID) != MBAP_PROTOCOL_MODBUS) {
        error_ = "protocol id is not 0 (not Modbus)";
        return Result::Malformed;
    }
    const std::uint16_t length = BigEndian16(head + MBAP_LENGTH_FIELD);
    if (length < MBAP_MIN_LENGTH || length > MBAP_MAX_LENGTH) {
        error_ = "length field out of range 2..254";
        return Result::Malformed;
    }
    const std::size_t whole = MBAP_UNIT_ID + length;
    if (pending() < whole)
        return Result::NeedMore;
    frame.transactionId = BigEndian16(head + MBAP_TRANSACTION_ID);
    frame.unitId = head[MBAP_UNIT_ID];
    frame.pdu.assign(head + MBAP_HEADER_SIZE, head + whole);
    start_ += whole;
    return Result::Frame;
}

void MbapReader::clear()
{
    buffer_.clear();
    start_ = 0;
    error_ = "";
}

} // namespace korvanel
