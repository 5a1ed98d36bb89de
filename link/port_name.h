// What a port name asks for: a serial line, or a network converter or
// gateway named by URL. Parsed once, without touching the network, where
// the name is typed (korvanel-clear refuses a malformed one as a usage
// error); everything after takes the parsed address.
#pragma once

#include <cstdint>
#include <string>

namespace korvanel {

enum class PortScheme {
    Serial,    // anything that is not one of the URLs below
    Tcp,       // tcp://HOST:PORT, RTU bytes over a raw TCP stream
    Rfc2217,   // rfc2217://HOST:PORT, Telnet with COM port control
    ModbusTcp, // modbus-tcp://HOST[:PORT], Modbus TCP to a gateway (502)
};

struct PortAddress {
    PortScheme scheme = PortScheme::Serial;
    // As typed: a serial port's name or path ("COM3", "ttyUSB0",
    // "/dev/ttyS0"), or the whole URL.
    std::string name;
    // A network port's host as typed, without the brackets of an IPv6
    // address, and its port.
    std::string host;
    std::uint16_t port = 0;

    // "127.0.0.1:502", "[::1]:502": how the failure texts name the peer.
    std::string peer() const;
};

// How a listener's name differs: the host may be left out (127.0.0.1) and
// port 0 asks the system for a free one.
enum class NameUse { Connect, Listen };

// Reads a port name: serial unless it starts with "SCHEME://" (any case).
// False, with `error` saying what is wrong, for a malformed URL
// ("port 'tcp://host': no port (tcp://HOST:PORT; ...)").
bool ParsePortAddress(const std::string& name, PortAddress& parsed, std::string& error,
                      NameUse use = NameUse::Connect);

} // namespace korvanel
