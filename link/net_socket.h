// One TCP connection, non-blocking, on the platform's sockets: BSD sockets
// in net_socket_posix.cpp, Winsock in net_socket_win32.cpp, chosen by CMake.
// The network ports build on it and stay free of platform code. Failure
// texts are the system's own words ("Connection refused").
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace korvanel {

// One resolved address, kept as the system's socket address bytes.
struct SocketAddress {
    std::vector<unsigned char> raw;
    int family = 0;
};

// Looks `host` up for `port` with the platform's getaddrinfo and
// freeaddrinfo, asking for this family, socket type and protocol, and
// appends the addresses found, in the lookup's order. Returns what
// getaddrinfo did: 0, or its error code. Both platforms' calls and addrinfo
// fields are alike; the template keeps their headers out of here.
template <typename AddrInfo, typename GetAddrInfo, typename FreeAddrInfo>
int LookUpAddresses(GetAddrInfo getAddrInfo, FreeAddrInfo freeAddrInfo, int family, int socketType,
                    int protocol, const std::string& host, std::uint16_t port,
                    std::vector<SocketAddress>& addresses)
{
    AddrInfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = socketType;
    hints.ai_protocol = protocol;
    AddrInfo* found = nullptr;
    const int rc = getAddrInfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0)
        return rc;
    for (const AddrInfo* a = found; a; a = a->ai_next) {
        SocketAddress address;
        const auto* bytes = reinterpret_cast<const unsigned char*>(a->ai_addr);
        address.raw.assign(bytes, bytes + a->ai_addrlen);
        address.family = a->ai_family;
        addresses.push_back(address);
    }
    freeAddrInfo(found);
    return 0;
}

// `host` with an IPv6 zone given by interface name ("fe80::1%eth0") turned
// into the zone's number ("fe80::1%2"), through the platform's
// if_nametoindex; any other host as it is. False, with `error`, for an
// interface the system does not have.
template <typename NameToIndex>
bool NumericZone(const std::string& host, NameToIndex nameToIndex, std::string& numeric,
                 std::string& error)
{
    numeric = host;
    const std::size_t percent = host.find('%');
    if (percent == std::string::npos ||
        host.find_first_not_of("0123456789", percent + 1) == std::string::npos)
        return true;
    const std::string zone = host.substr(percent + 1);
    const unsigned index = nameToIndex(zone.c_str());
    if (index == 0) {
        error = "no network interface '" + zone + "'";
        return false;
    }
    numeric = host.substr(0, percent + 1) + std::to_string(index);
    return true;
}

// The whole lookup both platforms make: a zone by interface name turned
// into its number, then the addresses for TCP to `port` in the lookup's
// order. False with `error` set, worded by `wordError` from getaddrinfo's
// code, when the name has none.
template <typename AddrInfo, typename GetAddrInfo, typename FreeAddrInfo, typename NameToIndex,
          typename WordError>
bool LookUpHost(GetAddrInfo getAddrInfo, FreeAddrInfo freeAddrInfo, NameToIndex nameToIndex,
                WordError wordError, int family, int socketType, int protocol,
                const std::string& host, std::uint16_t port, std::vector<SocketAddress>& addresses,
                std::string& error)
{
    std::string numeric;
    if (!NumericZone(host, nameToIndex, numeric, error))
        return false;
    const int rc = LookUpAddresses<AddrInfo>(getAddrInfo, freeAddrInfo, family, socketType,
                                             protocol, numeric, port, addresses);
    if (rc != 0)
        error = wordError(rc);
    return rc == 0;
}

// Every address `host` has, for TCP to `port`; false with `error` set when
// the name has none. May block on a name server: the caller bounds it.
bool ResolveHost(const std::string& host, std::uint16_t port, std::vector<SocketAddress>& addresses,
                 std::string& error);

class NetSocket {
public:
    enum class Step { Done, Pending, Failed };
    enum class Io { Data, Nothing, Closed, Failed };

    NetSocket();
    ~NetSocket(); // closes
    NetSocket(const NetSocket&) = delete;
    NetSocket& operator=(const NetSocket&) = delete;

    // Starts connecting to `address` without waiting (close-on-exec).
    Step startConnect(const SocketAddress& address, std::string& error);
    // Waits up to `slice` for the connect started; Done once connected,
    // with no-delay and keepalive on.
    Step finishConnect(std::chrono::milliseconds slice, std::string& error);

    bool isOpen() const;
    void close();

    // Takes what has arrived, up to `room` bytes, without waiting: Data
    // (`got` > 0), Nothing, Closed (the other side ended the stream) or
    // Failed (reset and kin; `error` says why).
    Io receive(std::uint8_t* buffer, std::size_t room, std::size_t& got, std::string& error);
    // Sends all of `bytes`, waiting at most a short bound for room: Data
    // when all went, Failed (with `error`) when the connection is gone or
    // the peer takes nothing.
    Io send(const std::uint8_t* bytes, std::size_t length, std::string& error);
    // True once bytes, an end of stream or an error are there to be taken;
    // false when `timeout` passed first.
    bool waitReadable(std::chrono::milliseconds timeout);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace korvanel
