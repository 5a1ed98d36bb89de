// A run's port reached over the network: tcp:// (RTU bytes through a
// transparent converter), rfc2217:// (the same, with the line settings sent
// to the converter by Telnet COM port control) and modbus-tcp:// (a gateway:
// RTU frames go out as MBAP requests, responses come back as the RTU frames
// they stand for). The engine sees the same port as with a serial line.
// One socket (net_socket_*.cpp, one per platform) and the scheme's codec
// (net_codec.h); the start of an rfc2217 connection is in
// net_port_rfc2217.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net_port_telnet.h"
#include "net_socket.h"
#include "run_port.h"

namespace korvanel {

// Connecting gives up after this long, name lookup included.
constexpr std::chrono::milliseconds CONNECT_TIMEOUT{3000};
// How long an rfc2217 open waits for the converter to confirm the line
// settings (inside CONNECT_TIMEOUT).
constexpr std::chrono::milliseconds CONFIRM_TIMEOUT{1000};
// At most this many bytes are taken from the socket per look at it, so a
// peer that floods cannot hold a caller in one call.
constexpr std::size_t PUMP_LIMIT = 8192;

class NetPort : public RunPort {
public:
    NetPort();
    ~NetPort() override;
    NetPort(const NetPort&) = delete;
    NetPort& operator=(const NetPort&) = delete;

    // Called every few milliseconds while open() waits on the network, so a
    // dialog can keep painting. When it returns false the user has given up:
    // open() stops waiting at once and fails with TEXT_CONNECT_CANCELLED.
    void setWaitHook(std::function<bool()> hook) { waitHook_ = std::move(hook); }

    PortOpenResult open(const PortAddress& address) override;
    bool isOpen() const override;
    void close() override;
    void beginRun() override;
    std::vector<std::string> takeNotes() override;

    PortStatus status() const override { return status_; }
    bool waitForInput(std::chrono::milliseconds timeout) override;
    std::string captureNote(CaptureDirection direction) const override
    {
        return codec_ ? codec_->captureNote(direction) : std::string();
    }

    // What was decoded before a loss stays readable until it is taken.
    std::uint32_t queuedByteCount() override;
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override;
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override;

private:
    using Clock = std::chrono::steady_clock;

    bool lookUp(std::vector<SocketAddress>& addresses, Clock::time_point deadline);
    bool connect(Clock::time_point deadline);
    bool connectOne(const SocketAddress& address, Clock::time_point until, std::string& reason);
    // Waits for input until `until` or `done` holds; false when the wait
    // hook gave up or the connection was lost.
    bool waitDuringOpen(Clock::time_point until, const std::function<bool()>& done);
    bool keepWaiting();

    // net_port_rfc2217.cpp
    bool offerComPortControl(TelnetCodec& telnet, Clock::time_point deadline);
    bool confirmLineSettings(TelnetCodec& telnet, Clock::time_point deadline);

    // Takes at most PUMP_LIMIT bytes of what has arrived and decodes them
    // into inbox_.
    void pump();
    void deliver(const std::uint8_t* bytes, std::size_t length);
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    void markLost(const std::string& what, const std::string& reason);
    // Records why open() fails.
    void connectFailed(const std::string& why);
    bool usable() const { return socket_.isOpen() && !lost(); }

    NetSocket socket_;
    PortAddress name_;
    std::function<bool()> waitHook_;
    PortStatus status_;
    // Nothing but text (or nothing) has come from the peer since the
    // connection was made: what a converter that serves one client at a
    // time sends a second one before it hangs up ("Port already in use").
    bool heardOnlyText_ = true;
    bool heardAny_ = false;
    Clock::time_point connectedAt_;
    // Decoded bytes, as a serial line would have queued them; at most
    // REPLY_WINDOW_LIMIT, the oldest dropped and counted.
    std::vector<std::uint8_t> inbox_;
    std::uint64_t dropped_ = 0;
    std::vector<std::string> notes_;

    std::unique_ptr<NetCodec> codec_;
};

} // namespace korvanel
