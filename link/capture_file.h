// A capture of a session's frames that Wireshark and tshark open as they
// stand. pcap has no Modbus RTU link type, and under the user link types
// the RTU dissector cannot tell a Write Single Register's reply from its
// request (the reply is a copy), so each frame is wrapped in IPv4/UDP:
// the master and the inverter as addresses of their own and the inverter
// at UDP port 502, which the dissector's "mbrtu.udp.port" preference
// turns into Query (to 502) and Response (from 502). These addresses are
// labels inside the file only: nothing goes onto any network.
//
// The file is pcapng rather than classic pcap because pcapng carries
// text: the port's name and the line settings on its interface, and a
// comment on each packet (the settings in force, a gateway's MBAP
// transaction id, bytes that made no frame), which tshark shows as
// frame.comment. Every packet is flushed as it is written, so a capture
// cut off by an error, a lost port or a signal is whole to its last packet.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace korvanel {

enum class CaptureDirection { ToInverter, FromInverter };

// The name given as "-" writes to standard output.
constexpr const char CAPTURE_TO_STDOUT[] = "-";

class CaptureFile {
public:
    using WallClock = std::chrono::system_clock;

    CaptureFile() = default;
    ~CaptureFile();
    CaptureFile(const CaptureFile&) = delete;
    CaptureFile& operator=(const CaptureFile&) = delete;

    // Creates `path` (or takes standard output for "-") and writes the
    // file's header and its one interface, named `portName` and described
    // by `description`. False, with the system's words in `error`, when it
    // cannot be created or written.
    bool open(const std::string& path, const std::string& program, const std::string& portName,
              const std::string& description, std::string& error);
    bool isOpen() const { return file_ != nullptr; }

    // One frame (or a stretch of bytes) between the master and `unit`,
    // stamped `at`, with `comment` (none when empty). Written and flushed
    // at once; a failed write stops the capture and is kept in error().
    void record(CaptureDirection direction, std::uint8_t unit, const std::uint8_t* bytes,
                std::size_t count, WallClock::time_point at, const std::string& comment);
    const std::string& error() const { return error_; }

private:
    void write(const std::vector<std::uint8_t>& block);

    std::FILE* file_ = nullptr;
    bool ownsFile_ = false;
    std::uint16_t ipId_ = 0;
    std::string error_;
};

// The interface's description: how the packets are laid out, and `line`,
// the line settings the capture starts at.
std::string CaptureDescription(const std::string& line);

// The IPv4/UDP datagram a capture packet holds: `payload` from the master
// to `unit`'s inverter or back. Apart for its unit test.
std::vector<std::uint8_t> CaptureDatagram(CaptureDirection direction, std::uint8_t unit,
                                          const std::uint8_t* payload, std::size_t count,
                                          std::uint16_t ipId);

} // namespace korvanel
