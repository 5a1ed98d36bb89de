// A run's port reached over the network: tcp:// (RTU bytes through a
// transparent converter), rfc2217:// (the same, with the line settings sent
// to the converter by Telnet COM port control) and modbus-tcp:// (a gateway:
// RTU frames go out as MBAP requests, responses come back as the RTU frames
// they stand for). The engine sees the same port as with a serial line.
// Platform-free: the socket layer is net_socket_*.cpp. The Telnet side is in
// net_port_telnet.cpp.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "mbap.h"
#include "net_socket.h"
#include "port_name.h"
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
// A gateway's answer counts when it carries one of our last this many
// transaction ids (a late answer to an earlier run still reaches the
// engine, as it would on a serial line).
constexpr std::size_t RECENT_TRANSACTIONS = 32;

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

    PortOpenResult open(const std::string& portName) override;
    bool isOpen() const override;
    void close() override;
    void beginRun() override;
    std::vector<std::string> takeNotes() override;

    bool lost() const override { return lost_; }
    std::string lostReason() const override { return lostReason_; }
    std::string lastSystemError() const override { return lastError_; }
    std::string dialogOpenFailureReason() const override { return lastError_; }
    bool waitForInput(std::chrono::milliseconds timeout) override;

    // What was decoded before a loss stays readable until it is taken.
    std::uint32_t queuedByteCount() override;
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override;
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override;

private:
    using Clock = std::chrono::steady_clock;
    enum class Telnet { Data, Iac, Verb, Sub, SubIac };
    struct Sent {
        std::uint16_t transactionId;
        std::uint8_t unitId;
    };

    bool lookUp(std::vector<SocketAddress>& addresses, Clock::time_point deadline);
    bool connect(Clock::time_point deadline);
    bool connectOne(const SocketAddress& address, Clock::time_point until, std::string& reason);
    // Waits for input until `until` or `done` holds; false when the wait
    // hook gave up or the connection was lost.
    bool waitDuringOpen(Clock::time_point until, const std::function<bool()>& done);
    bool keepWaiting();

    // net_port_telnet.cpp
    bool offerComPortControl(Clock::time_point deadline);
    void sendLineSettings();
    bool confirmLineSettings(Clock::time_point deadline);
    void sendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value);
    void purgeConverter();
    static std::vector<std::uint8_t> telnetData(const std::uint8_t* bytes, std::uint32_t count);
    void decodeTelnet(const std::uint8_t* bytes, std::size_t length);
    void answerOption(std::uint8_t verb, std::uint8_t option);
    void takeSubnegotiation();

    // Takes at most PUMP_LIMIT bytes of what has arrived and decodes them
    // into inbox_.
    void pump();
    void decodeMbap(const std::uint8_t* bytes, std::size_t length);
    void deliver(const std::uint8_t* bytes, std::size_t length);
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    void markLost(const std::string& what, const std::string& reason);
    bool usable() const { return socket_.isOpen() && !lost_; }

    NetSocket socket_;
    NetPortName name_;
    std::function<bool()> waitHook_;
    std::string lastError_;
    bool lost_ = false;
    std::string lostReason_;
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

    // rfc2217: the Telnet reader's state, what each side agreed, and the
    // line settings the converter confirmed (a bit per command).
    Telnet telnet_ = Telnet::Data;
    std::uint8_t verb_ = 0;
    int comPortAnswer_ = 0; // 0 none yet, 1 DO, -1 DONT
    std::vector<std::uint16_t> answered_;
    std::vector<std::uint8_t> sub_;
    unsigned confirmed_ = 0;
    std::uint32_t confirmedBaud_ = 0;
    std::uint8_t confirmedDataSize_ = 0;
    std::uint8_t confirmedParity_ = 0;
    std::uint8_t confirmedStopSize_ = 0;

    // modbus-tcp: the stream reader, the next transaction id and our most
    // recent requests.
    MbapReader mbap_;
    std::uint16_t transactionId_ = 0;
    std::vector<Sent> recent_;
    bool foreignUnitNoted_ = false;
};

} // namespace korvanel
