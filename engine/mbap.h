// Modbus TCP's framing: the MBAP header in front of a PDU, and the RTU frame
// the same request or response stands for. Shared by the modbus-tcp port,
// the simulator's listener and the fuzz target, so all three read a stream
// the same way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace korvanel {

// Transaction id (2), protocol id (2), length (2), unit id (1).
constexpr std::size_t MBAP_HEADER_SIZE = 7;
// Function code and at most 252 data bytes.
constexpr std::size_t MAX_PDU_SIZE = 253;
// The unit id is both the header's last byte and the first the length
// field counts, so a whole ADU is at most 260 bytes.
constexpr std::size_t MAX_ADU_SIZE = MBAP_HEADER_SIZE + MAX_PDU_SIZE;

struct MbapFrame {
    std::uint16_t transactionId = 0;
    std::uint8_t unitId = 0;
    std::vector<std::uint8_t> pdu;
};

// Header and PDU of the RTU frame `rtu` (address, PDU, two check bytes):
// the address becomes the unit id and the check bytes are left off, since
// TCP carries its own. Empty when `rtu` is shorter than address, function
// and check, or its PDU is longer than a PDU can be.
std::vector<std::uint8_t> MbapFromRtu(std::uint16_t transactionId, const std::uint8_t* rtu,
                                      std::size_t length);

// The RTU frame `frame` stands for: unit id, PDU, check bytes computed.
std::vector<std::uint8_t> RtuFromMbap(const MbapFrame& frame);

// Cuts a byte stream into MBAP frames, however TCP split or joined them.
class MbapReader {
public:
    enum class Result {
        Frame,     // `frame` holds the next frame
        NeedMore,  // no whole frame yet
        Malformed, // the stream cannot be framed any further; `error` says why
    };

    void feed(const std::uint8_t* bytes, std::size_t length);
    Result next(MbapFrame& frame);
    const char* error() const { return error_; }
    // Bytes held that belong to no whole frame yet.
    std::size_t pending() const { return buffer_.size() - start_; }
    void clear();

private:
    std::vector<std::uint8_t> buffer_;
    std::size_t start_ = 0;
    const char* error_ = "";
};

} // namespace korvanel
