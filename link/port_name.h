// What a port name asks for: a serial line, or a network converter or
// gateway named by URL. Parsed without touching the network, so
// korvanel-clear can refuse a malformed name as a usage error.
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

struct NetPortName {
    PortScheme scheme = PortScheme::Serial;
    // As typed, without the brackets of an IPv6 address.
    std::string host;
    std::uint16_t port = 0;

    // "127.0.0.1:502", "[::1]:502": how the failure texts name the peer.
    std::string peer() const;
};

// Serial unless `name` starts with "SCHEME://" (any case).
bool IsNetworkPortName(const std::string& name);

// How a listener's name differs: the host may be left out (127.0.0.1) and
// port 0 asks the system for a free one.
enum class NameUse { Connect, Listen };

// Reads a network port name; false with `error` saying what is wrong
// ("port 'tcp://host': no port (tcp://HOST:PORT; ...)").
bool ParseNetPortName(const std::string& name, NetPortName& parsed, std::string& error,
                      NameUse use = NameUse::Connect);

} // namespace korvanel
