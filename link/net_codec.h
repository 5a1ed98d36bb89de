// What a network port puts on its socket and takes from it, one codec per
// scheme: raw RTU bytes (tcp://), Telnet with COM port control
// (rfc2217://, net_port_telnet.h) and Modbus TCP (modbus-tcp://). A codec
// sees only bytes, so a test drives it without a socket.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture_file.h"
#include "mbap.h"
#include "port_name.h"

namespace korvanel {

// A gateway's answer counts when it carries one of our last this many
// transaction ids (a late answer to an earlier run still reaches the
// engine, as it would on a serial line).
constexpr std::size_t RECENT_TRANSACTIONS = 32;

class NetCodec {
public:
    virtual ~NetCodec() = default;
    // Decodes bytes received: the line's bytes go to the end of `data`,
    // what the peer must be answered to the end of `reply`. False, with
    // `error`, when the stream is not of this kind.
    virtual bool feed(const std::uint8_t* bytes, std::size_t length,
                      std::vector<std::uint8_t>& data, std::vector<std::uint8_t>& reply,
                      std::string& error) = 0;
    // An RTU frame as it goes on the socket; empty when it cannot go.
    virtual std::vector<std::uint8_t> frame(const std::uint8_t* bytes, std::uint32_t count) = 0;
    // For a capture: what the last frame sent or taken was wrapped in.
    virtual std::string captureNote(CaptureDirection) const { return {}; }
    // What to send as each run starts.
    virtual std::vector<std::uint8_t> runStart() { return {}; }
    // What the codec learned that the user should hear, handed out once.
    std::vector<std::string> takeNotes()
    {
        std::vector<std::string> notes;
        notes.swap(notes_);
        return notes;
    }

protected:
    std::vector<std::string> notes_;
};

// tcp://: the bytes as they are, both ways.
class RawCodec final : public NetCodec {
public:
    bool feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
              std::vector<std::uint8_t>& reply, std::string& error) override;
    std::vector<std::uint8_t> frame(const std::uint8_t* bytes, std::uint32_t count) override;
};

// modbus-tcp://: RTU frames go out as MBAP requests, a new transaction id
// each; the responses to our recent requests come back as the RTU frames
// they stand for, anything else is not ours at all.
class MbapCodec final : public NetCodec {
public:
    // `peer` names the gateway in the notes.
    explicit MbapCodec(std::string peer) : peer_(std::move(peer)) {}
    bool feed(const std::uint8_t* bytes, std::size_t length, std::vector<std::uint8_t>& data,
              std::vector<std::uint8_t>& reply, std::string& error) override;
    std::vector<std::uint8_t> frame(const std::uint8_t* bytes, std::uint32_t count) override;
    std::string captureNote(CaptureDirection direction) const override;

private:
    struct Sent {
        std::uint16_t transactionId;
        std::uint8_t unitId;
    };
    void take(const MbapFrame& frame, std::vector<std::uint8_t>& data);

    std::string peer_;
    MbapReader reader_;
    std::uint16_t transactionId_ = 0;
    std::uint16_t takenId_ = 0;
    std::vector<Sent> recent_;
    bool foreignUnitNoted_ = false;
};

// The codec of `address`'s scheme (a network one).
std::unique_ptr<NetCodec> MakeCodec(const PortAddress& address);

} // namespace korvanel
