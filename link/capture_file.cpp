#include "capture_file.h"

#include <cerrno>
#include <cstring>

namespace korvanel {

namespace {

// The pcapng blocks written (Section Header, Interface Description,
// Enhanced Packet) and their options, codes 0 to 4 in the format's order.
enum BlockType : std::uint32_t { SHB = 0x0A0D0D0A, IDB = 1, EPB = 6 };
enum OptionCode : std::uint16_t { OPT_END, OPT_COMMENT, IF_NAME, IF_DESCRIPTION, SHB_USERAPPL };
constexpr std::uint32_t BYTE_ORDER_MAGIC = 0x1A2B3C4D;
// LINKTYPE_RAW: each packet starts with its IPv4 header. No packet is cut
// short: a frame is at most 256 bytes, a stretch of junk at most what one
// read hands over.
constexpr std::uint16_t LINKTYPE_RAW = 101;
constexpr std::uint32_t SNAP_LENGTH = 65535;

// Where the packets seem to go. The inverters answer on Modbus's own UDP
// port, which the dissector labels by once its preference
// mbrtu.udp.port names it. The master (10.0.1.1) stands outside the
// inverters' 10.0.0.N, N the unit address (10.0.0.2 for a unit of 0 or
// above 247, which no inverter has).
struct Endpoint {
    std::uint32_t ip;
    std::uint16_t port;
};
constexpr Endpoint MASTER{0x0A000101, 49152};
constexpr Endpoint INVERTER_NET{0x0A000000, 502};
constexpr std::uint8_t HIGHEST_UNIT = 247;
constexpr std::uint8_t UNKNOWN_UNIT_HOST = 2;

struct UdpOverIpv4 {
    static constexpr std::size_t IP_HEADER = 20;
    static constexpr std::size_t UDP_HEADER = 8;
    static constexpr std::uint8_t PROTOCOL_UDP = 17;
    static constexpr std::uint8_t TTL = 64;
};

// Every field is written little-endian, as the byte-order magic says.
class Block {
public:
    explicit Block(std::uint32_t type)
    {
        u32(type);
        u32(0); // the total length, filled in by finish()
    }
    void u16(std::uint16_t v)
    {
        bytes_.push_back(static_cast<std::uint8_t>(v));
        bytes_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v)
    {
        u16(static_cast<std::uint16_t>(v));
        u16(static_cast<std::uint16_t>(v >> 16));
    }
    // Data is padded to 32 bits.
    void data(const std::uint8_t* bytes, std::size_t count)
    {
        bytes_.insert(bytes_.end(), bytes, bytes + count);
        bytes_.resize((bytes_.size() + 3) & ~std::size_t{3}, 0);
    }
    void option(std::uint16_t code, const std::string& text)
    {
        if (text.empty())
            return;
        u16(code);
        u16(static_cast<std::uint16_t>(text.size()));
        data(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    }
    std::vector<std::uint8_t> finish()
    {
        u16(OPT_END);
        u16(0);
        const auto total = static_cast<std::uint32_t>(bytes_.size() + 4);
        u32(total);
        for (int i = 0; i < 4; ++i)
            bytes_[4 + i] = static_cast<std::uint8_t>(total >> (8 * i));
        return std::move(bytes_);
    }

private:
    std::vector<std::uint8_t> bytes_;
};

void PutBig16(std::uint8_t* at, std::uint32_t v)
{
    at[0] = static_cast<std::uint8_t>(v >> 8);
    at[1] = static_cast<std::uint8_t>(v);
}

void PutBig32(std::uint8_t* at, std::uint32_t v)
{
    PutBig16(at, v >> 16);
    PutBig16(at + 2, v & 0xFFFF);
}

// The one's complement sum of the header's 16-bit words (RFC 791).
std::uint16_t HeaderChecksum(const std::uint8_t* header)
{
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < UdpOverIpv4::IP_HEADER; i += 2)
        sum += static_cast<std::uint32_t>(header[i] << 8 | header[i + 1]);
    while (sum > 0xFFFF)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum);
}

Endpoint InverterOf(std::uint8_t unit)
{
    const bool fits = unit >= 1 && unit <= HIGHEST_UNIT;
    return {INVERTER_NET.ip | (fits ? unit : UNKNOWN_UNIT_HOST), INVERTER_NET.port};
}

// "10.0.1.1:49152"; `last` stands for the address's last part.
std::string EndpointText(const Endpoint& at, const std::string& last)
{
    std::string text;
    for (int shift = 24; shift > 0; shift -= 8)
        text += std::to_string((at.ip >> shift) & 0xFF) + ".";
    return text + last + ":" + std::to_string(at.port);
}

} // namespace

std::vector<std::uint8_t> CaptureDatagram(CaptureDirection direction, std::uint8_t unit,
                                          const std::uint8_t* payload, std::size_t count,
                                          std::uint16_t ipId)
{
    using U = UdpOverIpv4;
    const bool query = direction == CaptureDirection::ToInverter;
    const Endpoint from = query ? MASTER : InverterOf(unit);
    const Endpoint to = query ? InverterOf(unit) : MASTER;
    std::vector<std::uint8_t> d(U::IP_HEADER + U::UDP_HEADER + count, 0);
    d[0] = 0x45; // IPv4, a header of five 32-bit words
    PutBig16(&d[2], static_cast<std::uint32_t>(d.size()));
    PutBig16(&d[4], ipId);
    d[8] = U::TTL;
    d[9] = U::PROTOCOL_UDP;
    PutBig32(&d[12], from.ip);
    PutBig32(&d[16], to.ip);
    PutBig16(&d[10], HeaderChecksum(d.data()));
    std::uint8_t* udp = &d[U::IP_HEADER];
    PutBig16(udp, from.port);
    PutBig16(udp + 2, to.port);
    PutBig16(udp + 4, static_cast<std::uint32_t>(U::UDP_HEADER + count));
    // The UDP checksum stays 0, "none", which IPv4 allows.
    std::copy(payload, payload + count, udp + U::UDP_HEADER);
    return d;
}

std::string CaptureDescription(const std::string& line)
{
    return "Modbus RTU frames as UDP: the master at " +
           EndpointText(MASTER, std::to_string(MASTER.ip & 0xFF)) + ", inverter N at " +
           EndpointText(INVERTER_NET, "N") + "; line settings: " + line;
}

CaptureFile::~CaptureFile()
{
    if (ownsFile_ && file_)
        std::fclose(file_);
}

bool CaptureFile::open(const std::string& path, const std::string& program,
                       const std::string& portName, const std::string& description,
                       std::string& error)
{
    ownsFile_ = path != CAPTURE_TO_STDOUT;
    file_ = ownsFile_ ? std::fopen(path.c_str(), "wb") : stdout;
    if (!file_) {
        error = "Creating capture '" + path + "': " + std::strerror(errno);
        return false;
    }
    Block section(SHB);
    section.u32(BYTE_ORDER_MAGIC);
    section.u16(1); // version 1.0
    section.u16(0);
    section.u32(0xFFFFFFFF); // section length not given
    section.u32(0xFFFFFFFF);
    section.option(SHB_USERAPPL, program);
    write(section.finish());

    Block interface(IDB);
    interface.u16(LINKTYPE_RAW);
    interface.u16(0);
    interface.u32(SNAP_LENGTH);
    interface.option(IF_NAME, portName);
    interface.option(IF_DESCRIPTION, description);
    write(interface.finish());
    if (!file_) {
        error = error_;
        return false;
    }
    return true;
}

void CaptureFile::record(CaptureDirection direction, std::uint8_t unit, const std::uint8_t* bytes,
                         std::size_t count, WallClock::time_point at, const std::string& comment)
{
    if (!file_)
        return;
    const std::vector<std::uint8_t> datagram =
        CaptureDatagram(direction, unit, bytes, count, ipId_++);
    // Microseconds since 1970, the interface's default resolution.
    const auto us = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
    Block packet(EPB);
    packet.u32(0); // the one interface
    packet.u32(static_cast<std::uint32_t>(us >> 32));
    packet.u32(static_cast<std::uint32_t>(us));
    packet.u32(static_cast<std::uint32_t>(datagram.size()));
    packet.u32(static_cast<std::uint32_t>(datagram.size()));
    packet.data(datagram.data(), datagram.size());
    packet.option(OPT_COMMENT, comment);
    write(packet.finish());
}

// A block (under 1 KiB: a frame, or what one read brought) fits the
// stream's buffer, which the last flush emptied, so it reaches the file in
// one system call: a signal's handler that ends the process finds the
// block written whole or not at all.
void CaptureFile::write(const std::vector<std::uint8_t>& block)
{
    if (std::fwrite(block.data(), 1, block.size(), file_) == block.size() &&
        std::fflush(file_) == 0)
        return;
    error_ = std::string("Writing the capture: ") + std::strerror(errno);
    if (ownsFile_)
        std::fclose(file_);
    file_ = nullptr;
}

} // namespace korvanel
