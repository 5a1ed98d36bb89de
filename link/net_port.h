// A run's port reached over the network: tcp:// (RTU bytes through a
// transparent converter), rfc2217:// (the same, with the line settings sent
// to the converter by Telnet COM port control) and modbus-tcp:// (a gateway:
// RTU frames go out as MBAP requests, responses come back as the RTU frames
// they stand for). The engine sees the same port as with a serial line.
// Platform-free: the socket layer is net_socket_*.cpp.
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
    bool neverEchoes() const override { return name_.scheme == PortScheme::ModbusTcp; }

    bool lost() const override { return lost_; }
    std::string lostReason() const override { return lostReason_; }
    std::string lastSystemError() const override { return lastError_; }
    std::string dialogOpenFailureReason() const override { return lastError_; }
    bool waitForInput(std::chrono::milliseconds timeout) override;

    std::uint32_t queuedByteCount() override;
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& bytesKept) override;
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override;

private:
    using Clock = std::chrono::steady_clock;
    enum class Telnet { Data, Iac, Verb, Sub, SubIac };

    bool lookUp(std::vector<SocketAddress>& addresses, Clock::time_point deadline);
    bool connect(Clock::time_point deadline);
    bool offerComPortControl(Clock::time_point deadline);
    void sendLineSettings();
    void sendComPortCommand(std::uint8_t command, const std::vector<std::uint8_t>& value);

    // Takes everything that has arrived and decodes it into inbox_.
    void pump();
    void decodeTelnet(const std::uint8_t* bytes, std::size_t length);
    void answerOption(std::uint8_t verb, std::uint8_t option);
    void decodeMbap(const std::uint8_t* bytes, std::size_t length);
    bool sendRaw(const std::vector<std::uint8_t>& bytes);
    void markLost(const std::string& what, const std::string& reason);
    bool usable() const { return socket_.isOpen() && !lost_; }

    NetSocket socket_;
    NetPortName name_;
    std::function<bool()> waitHook_;
    bool keepWaiting();
    std::string lastError_;
    bool lost_ = false;
    std::string lostReason_;
    // Decoded bytes, as a serial line would have queued them.
    std::vector<std::uint8_t> inbox_;

    // rfc2217: the Telnet reader's state and what each side agreed.
    Telnet telnet_ = Telnet::Data;
    std::uint8_t verb_ = 0;
    int comPortAnswer_ = 0; // 0 none yet, 1 DO, -1 DONT
    std::vector<std::uint16_t> answered_;

    // modbus-tcp: the stream reader, the next transaction id and the ids
    // of the requests of the run in progress.
    MbapReader mbap_;
    std::uint16_t transactionId_ = 0;
    std::vector<std::uint16_t> runTransactions_;
};

} // namespace korvanel
