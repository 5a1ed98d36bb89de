#include "port_name.h"

#include <cctype>
#include <cstring>

namespace korvanel {

namespace {

constexpr char SCHEME_END[] = "://";

struct SchemeRow {
    const char* name;
    PortScheme scheme;
    // 0: the port must be given.
    std::uint16_t defaultPort;
};

constexpr SchemeRow SCHEMES[] = {
    {"tcp", PortScheme::Tcp, 0},
    {"rfc2217", PortScheme::Rfc2217, 0},
    {"modbus-tcp", PortScheme::ModbusTcp, 502}, // Modbus TCP's registered port
};

std::string Lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A listener binds to the loopback unless told otherwise.
constexpr char LISTEN_DEFAULT_HOST[] = "127.0.0.1";

bool ParsePortNumber(const std::string& text, std::uint16_t& port, std::uint16_t lowest)
{
    if (text.empty() || text.size() > 5)
        return false;
    unsigned long n = 0;
    for (const char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        n = n * 10 + static_cast<unsigned long>(c - '0');
    }
    if (n < lowest || n > 65535)
        return false;
    port = static_cast<std::uint16_t>(n);
    return true;
}

// A host name or IPv4 address: letters, digits, '-', '.', '_'.
bool PlainHost(const std::string& host)
{
    for (const char c : host) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
            return false;
    }
    return !host.empty();
}

// An IPv6 address, with a zone (a link-local address's interface) by
// number or by name after '%': "fe80::1%2", "fe80::1%eth0".
bool Ipv6Text(const std::string& host)
{
    const std::size_t percent = host.find('%');
    const std::string address = host.substr(0, percent);
    for (const char c : address) {
        if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.')
            return false;
    }
    if (percent != std::string::npos && !PlainHost(host.substr(percent + 1)))
        return false;
    return address.find(':') != std::string::npos;
}

bool IsNetworkPortName(const std::string& name)
{
    const std::size_t end = name.find(SCHEME_END);
    if (end == std::string::npos || end == 0)
        return false;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = name[i];
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '+' && c != '.')
            return false;
    }
    return true;
}

} // namespace

std::string PortAddress::peer() const
{
    const std::string shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return shown + ":" + std::to_string(port);
}

bool ParsePortAddress(const std::string& name, PortAddress& parsed, std::string& error, NameUse use)
{
    parsed = PortAddress{};
    parsed.name = name;
    if (!IsNetworkPortName(name))
        return true;
    const std::size_t schemeEnd = name.find(SCHEME_END);
    const std::string scheme =
        Lower(name.substr(0, schemeEnd == std::string::npos ? 0 : schemeEnd));
    const SchemeRow* row = nullptr;
    for (const SchemeRow& r : SCHEMES) {
        if (scheme == r.name)
            row = &r;
    }
    if (!row) {
        error = "port '" + name + "': unknown scheme '" + scheme +
                "' (tcp://HOST:PORT, rfc2217://HOST:PORT or modbus-tcp://HOST[:PORT])";
        return false;
    }
    const std::string form =
        std::string(row->name) + (row->defaultPort ? "://HOST[:PORT]" : "://HOST:PORT");
    const auto refuse = [&](const std::string& why) {
        error = "port '" + name + "': " + why + " (" + form + "; an IPv6 address in brackets)";
        return false;
    };

    const std::string rest = name.substr(schemeEnd + std::strlen(SCHEME_END));
    std::string host;
    std::string portText;
    bool portGiven = false;
    if (!rest.empty() && rest[0] == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos)
            return refuse("no ']' after the IPv6 address");
        host = rest.substr(1, close - 1);
        if (!Ipv6Text(host))
            return refuse("'" + host + "' is not an IPv6 address");
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':')
                return refuse("'" + after + "' after the address");
            portText = after.substr(1);
            portGiven = true;
        }
    } else {
        const std::size_t colon = rest.find(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) {
            portText = rest.substr(colon + 1);
            portGiven = true;
            if (portText.find(':') != std::string::npos)
                return refuse("an IPv6 address needs brackets");
        }
        if (host.empty() && use == NameUse::Listen)
            host = LISTEN_DEFAULT_HOST;
        if (host.empty())
            return refuse("no host");
        if (!PlainHost(host))
            return refuse("'" + host + "' is not a host name or address");
    }
    std::uint16_t port = row->defaultPort;
    const std::uint16_t lowest = use == NameUse::Listen ? 0 : 1;
    if (portGiven && !ParsePortNumber(portText, port, lowest))
        return refuse("port '" + portText + "' is not a number from " + std::to_string(lowest) +
                      " to 65535");
    if (!portGiven && !row->defaultPort)
        return refuse("no port");
    parsed.scheme = row->scheme;
    parsed.host = host;
    parsed.port = port;
    return true;
}

} // namespace korvanel
