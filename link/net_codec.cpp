#include "net_codec.h"

#include <algorithm>

#include "net_port_telnet.h"

namespace korvanel {

bool RawCodec::feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
                    std::vector<std::uint8_t>&, std::string&)
{
    data.insert(data.end(), bytes, bytes + length);
    return true;
}

std::vector<std::uint8_t> RawCodec::frame(const std::uint8_t* bytes, std::uint32_t count)
{
    return {bytes, bytes + count};
}

bool MbapCodec::feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
                     std::vector<std::uint8_t>&, std::string& error)
{
    reader_.feed(bytes, length);
    MbapFrame frame;
    for (;;) {
        switch (reader_.next(frame)) {
        case MbapReader::Result::Frame: take(frame, data); continue;
        case MbapReader::Result::NeedMore: return true;
        case MbapReader::Result::Malformed:
            error = std::string("not Modbus TCP: ") + reader_.error();
            return false;
        }
    }
}

void MbapCodec::take(const MbapFrame& frame, std::vector<std::uint8_t>& data)
{
    // Our own request handed back (an echo) decodes to the RTU copy of what
    // was sent, as a line's echo would.
    const auto sent = std::find_if(recent_.begin(), recent_.end(), [&](const Sent& s) {
        return s.transactionId == frame.transactionId;
    });
    if (sent == recent_.end())
        return;
    if (sent->unitId == frame.unitId) {
        takenId_ = frame.transactionId;
        const std::vector<std::uint8_t> rtu = RtuFromMbap(frame);
        data.insert(data.end(), rtu.begin(), rtu.end());
    } else if (!foreignUnitNoted_) {
        foreignUnitNoted_ = true;
        notes_.push_back("the gateway at " + peer_ + " answered a request for unit " +
                         std::to_string(sent->unitId) + " under unit id " +
                         std::to_string(frame.unitId) +
                         "; such answers are not taken as the inverter's");
    }
}

std::vector<std::uint8_t> MbapCodec::frame(const std::uint8_t* bytes, std::uint32_t count)
{
    // The recent ids stay acceptable, so a late answer to a resend's
    // predecessor still counts.
    std::vector<std::uint8_t> out = MbapFromRtu(++transactionId_, bytes, count);
    if (out.empty())
        return out;
    recent_.push_back({transactionId_, bytes[0]});
    if (recent_.size() > RECENT_TRANSACTIONS)
        recent_.erase(recent_.begin());
    return out;
}

std::string MbapCodec::captureNote(CaptureDirection direction) const
{
    return "MBAP tid " +
           std::to_string(direction == CaptureDirection::ToInverter ? transactionId_ : takenId_);
}

std::unique_ptr<NetCodec> MakeCodec(const PortAddress& address)
{
    switch (address.scheme) {
    case PortScheme::Rfc2217: return std::make_unique<TelnetCodec>();
    case PortScheme::ModbusTcp: return std::make_unique<MbapCodec>(address.peer());
    default: return std::make_unique<RawCodec>();
    }
}

} // namespace korvanel
