#include "listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <thread>
#include <vector>

#include "line_settings.h"
#include "mbap.h"
#include "modbus_crc.h"
#include "port_name.h"
#include "protocol.h"
#include "unique_fd_posix.h"

namespace korvanel {

namespace {

using Clock = std::chrono::steady_clock;

// A request ends with a silence of 3.5 characters of the line a converter
// passes the client's bytes to, 9600 8N1 (3.65 ms); bytes that keep coming
// for longer than the largest frame are garbage.
constexpr std::chrono::microseconds FRAME_GAP{FrameSilenceUs(LineSettings{})};
constexpr std::size_t MAX_RTU_FRAME = MAX_ADU_SIZE;
// A gateway gives up on an unanswered request after this long, so a
// silent inverter does not shift every later answer onto the wrong id.
constexpr std::chrono::milliseconds GATEWAY_TIMEOUT{5000};
// The line's bytes a gateway keeps while it looks for a response in them.
constexpr std::size_t LINE_BUFFER_LIMIT = 512;
// The gateway's line carries one message per write, so a read takes one
// whole: the largest the simulator writes at once is a noise burst at its
// highest rate (1,000,000 bytes/s for 5 ms: 5000 bytes).
constexpr std::size_t LINE_READ_SIZE = 8192;
// What a client has not taken yet, beyond what the kernel holds for it. A
// client that reads nothing is closed past this, rather than let the
// listener's memory grow or a stop wait on it.
constexpr std::size_t CLIENT_BACKLOG_LIMIT = 64 * 1024;

void Log(bool quiet, const std::string& text)
{
    if (quiet)
        return;
    std::fprintf(stderr, "korvanel-sim: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string PeerText(const sockaddr_storage& address)
{
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    (void)::getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host,
                        sizeof host, service, sizeof service, NI_NUMERICHOST | NI_NUMERICSERV);
    const bool v6 = address.ss_family == AF_INET6;
    return std::string(v6 ? "[" : "") + host + (v6 ? "]:" : ":") + service;
}

// Whether `address` is the any-address of its family: a listener bound
// there takes connections on every address of the machine.
bool IsWildcard(const sockaddr_storage& address)
{
    if (address.ss_family == AF_INET6) {
        const in6_addr& a = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
        return IN6_IS_ADDR_UNSPECIFIED(&a);
    }
    return reinterpret_cast<const sockaddr_in&>(address).sin_addr.s_addr == htonl(INADDR_ANY);
}

// The length of the RTU response that starts at `frame`, from its function
// code; 0 when the byte there starts none we know.
std::size_t ResponseLength(const std::uint8_t* frame, std::size_t available)
{
    if (available < 3)
        return 0;
    const std::uint8_t function = frame[1];
    if (function & EXCEPTION_FLAG)
        return 5;
    switch (function) {
    case FUNCTION_READ_HOLDING_REGISTERS:
    case 0x04: return 5 + frame[2];
    case FUNCTION_WRITE_SINGLE_REGISTER:
    case FUNCTION_WRITE_MULTIPLE_REGISTERS:
    case 0x05:
    case 0x0F: return 8;
    default: return 0;
    }
}

} // namespace

struct Listener::Impl {
    bool quiet = false;
    bool gateway = false;
    std::string url;
    UniqueFd listenFd;
    UniqueFd line[2]; // [0] the simulator's end, [1] ours
    UniqueFd stopPipe[2];
    std::thread server;

    // The client being served; none while none is.
    UniqueFd client;
    std::string peer;
    // Bytes for the client that it has not taken yet.
    std::vector<std::uint8_t> backlog;
    // tcp://: the client's bytes since the last silence.
    std::size_t runLength = 0;
    Clock::time_point lastByte{};
    // modbus-tcp://: requests sent to the line, oldest first, and the
    // line's bytes not yet taken as a response.
    MbapReader reader;
    struct Waiting {
        std::uint16_t transactionId;
        Clock::time_point sent;
    };
    std::deque<Waiting> waiting;
    std::vector<std::uint8_t> lineBytes;

    ~Impl()
    {
        if (server.joinable()) {
            const char byte = 1;
            (void)!::write(stopPipe[1].get(), &byte, 1);
            server.join();
        }
    }

    void serve();
    void accept();
    void drop(const std::string& why);
    bool toClient(const std::uint8_t* bytes, std::size_t length);
    bool flush();
    void fromClient();
    void fromLine();
    void gatewayRequest(const MbapFrame& frame);
    void gatewayResponses();
};

void Listener::Impl::serve()
{
    for (;;) {
        // One client at a time: others wait in the backlog until it leaves.
        const int served = client.get();
        const short events =
            static_cast<short>(served < 0 || backlog.empty() ? POLLIN : POLLIN | POLLOUT);
        pollfd fds[3] = {{stopPipe[0].get(), POLLIN, 0},
                         {line[1].get(), POLLIN, 0},
                         {served >= 0 ? served : listenFd.get(), events, 0}};
        if (::poll(fds, 3, -1) < 0) {
            if (errno == EINTR)
                continue;
            Log(quiet, std::string("listener: poll: ") + std::strerror(errno));
            return;
        }
        if (fds[0].revents)
            return;
        if (fds[1].revents & POLLIN)
            fromLine();
        if (fds[1].revents & (POLLHUP | POLLERR))
            return;
        // The client polled may have been closed meanwhile.
        if (served < 0 && fds[2].revents)
            accept();
        if (served >= 0 && client.get() == served && (fds[2].revents & POLLOUT))
            flush();
        if (served >= 0 && client.get() == served && (fds[2].revents & ~POLLOUT))
            fromClient();
    }
}

void Listener::Impl::accept()
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    // Never blocking: a client that stops reading must not hold the
    // listener, nor a stop signal waiting for it.
    const int fd = ::accept4(listenFd.get(), reinterpret_cast<sockaddr*>(&address), &size,
                             SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0)
        return;
    const int on = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // The kernel's own buffer bounded too, as a converter's is small: left
    // to grow (to megabytes on Linux), a client that reads nothing would be
    // found only after that much.
    const int sendBuffer = static_cast<int>(CLIENT_BACKLOG_LIMIT);
    (void)::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    client.reset(fd);
    peer = PeerText(address);
    runLength = 0;
    backlog.clear();
    reader.clear();
    waiting.clear();
    lineBytes.clear();
    Log(quiet, "client " + peer + " connected");
}

void Listener::Impl::drop(const std::string& why)
{
    Log(quiet, "client " + peer + ": " + why + "; connection closed");
    client.reset();
    backlog.clear();
}

// Queues `bytes` for the client and sends what it takes; false when the
// client was closed.
bool Listener::Impl::toClient(const std::uint8_t* bytes, std::size_t length)
{
    backlog.insert(backlog.end(), bytes, bytes + length);
    return flush();
}

bool Listener::Impl::flush()
{
    while (!backlog.empty()) {
        const ssize_t n = ::send(client.get(), backlog.data(), backlog.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            drop(std::strerror(errno));
            return false;
        }
        backlog.erase(backlog.begin(), backlog.begin() + n);
    }
    if (backlog.size() > CLIENT_BACKLOG_LIMIT) {
        drop("reads nothing we send (" + std::to_string(backlog.size()) +
             " bytes wait for it, over " + std::to_string(CLIENT_BACKLOG_LIMIT) + ")");
        return false;
    }
    return true;
}

void Listener::Impl::fromClient()
{
    std::uint8_t buffer[512];
    const ssize_t n = ::recv(client.get(), buffer, sizeof buffer, 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))
        return;
    if (n <= 0) {
        drop(n == 0 ? "disconnected" : std::strerror(errno));
        return;
    }
    if (!gateway) {
        const auto now = Clock::now();
        runLength = now - lastByte >= FRAME_GAP ? 0 : runLength;
        runLength += static_cast<std::size_t>(n);
        lastByte = now;
        if (runLength > MAX_RTU_FRAME) {
            drop("a frame over " + std::to_string(MAX_RTU_FRAME) + " bytes");
            return;
        }
        (void)!::write(line[1].get(), buffer, static_cast<std::size_t>(n));
        return;
    }
    reader.feed(buffer, static_cast<std::size_t>(n));
    MbapFrame frame;
    for (;;) {
        const MbapReader::Result result = reader.next(frame);
        if (result == MbapReader::Result::NeedMore)
            return;
        if (result == MbapReader::Result::Malformed) {
            drop(std::string("bad MBAP header: ") + reader.error());
            return;
        }
        gatewayRequest(frame);
    }
}

void Listener::Impl::gatewayRequest(const MbapFrame& frame)
{
    const auto now = Clock::now();
    while (!waiting.empty() && now - waiting.front().sent > GATEWAY_TIMEOUT)
        waiting.pop_front();
    // With no request outstanding, whatever the line still holds belongs to
    // no request of this client; with one, it may be the start of its
    // response, still coming at the line's pace.
    if (waiting.empty())
        lineBytes.clear();
    // A broadcast is executed by all and answered by none.
    if (frame.unitId != BROADCAST_ADDRESS)
        waiting.push_back({frame.transactionId, now});
    const std::vector<std::uint8_t> rtu = RtuFromMbap(frame);
    (void)!::write(line[1].get(), rtu.data(), rtu.size());
}

void Listener::Impl::fromLine()
{
    std::uint8_t buffer[LINE_READ_SIZE];
    const ssize_t n = ::read(line[1].get(), buffer, sizeof buffer);
    if (n <= 0)
        return;
    // Nobody connected: the bytes fall off the end of the line.
    if (!client.valid())
        return;
    if (!gateway) {
        (void)toClient(buffer, static_cast<std::size_t>(n));
        return;
    }
    lineBytes.insert(lineBytes.end(), buffer, buffer + n);
    if (lineBytes.size() > LINE_BUFFER_LIMIT)
        lineBytes.erase(lineBytes.begin(), lineBytes.end() - LINE_BUFFER_LIMIT);
    gatewayResponses();
}

// A response is a frame the line carried whole with a valid check; junk
// before it is skipped, and a frame that fails its check is dropped, as a
// gateway does.
void Listener::Impl::gatewayResponses()
{
    std::size_t at = 0;
    while (at < lineBytes.size()) {
        const std::size_t length = ResponseLength(lineBytes.data() + at, lineBytes.size() - at);
        if (length == 0 || at + length > lineBytes.size() ||
            !HasValidCheck(lineBytes.data() + at, length)) {
            ++at;
            continue;
        }
        if (waiting.empty()) {
            Log(quiet, "gateway: a response with no request waiting is dropped");
        } else {
            const std::vector<std::uint8_t> adu =
                MbapFromRtu(waiting.front().transactionId, lineBytes.data() + at, length);
            waiting.pop_front();
            if (!toClient(adu.data(), adu.size()))
                return;
        }
        lineBytes.erase(lineBytes.begin(),
                        lineBytes.begin() + static_cast<std::ptrdiff_t>(at + length));
        at = 0;
    }
}

Listener::Listener() : impl_(new Impl)
{}

bool Listener::CheckUrl(const std::string& url, std::string& error)
{
    PortAddress name;
    if (!ParsePortAddress(url, name, error, NameUse::Listen) ||
        (name.scheme != PortScheme::Tcp && name.scheme != PortScheme::ModbusTcp)) {
        error = "--listen takes tcp://HOST:PORT or modbus-tcp://HOST:PORT, not '" + url + "'" +
                (error.empty() ? "" : ": " + error);
        return false;
    }
    return true;
}

Listener::~Listener() = default;

bool Listener::start(const std::string& url, bool quiet, std::string& error)
{
    Impl& s = *impl_;
    s.quiet = quiet;
    PortAddress name;
    if (!CheckUrl(url, error))
        return false;
    ParsePortAddress(url, name, error, NameUse::Listen);
    s.gateway = name.scheme == PortScheme::ModbusTcp;

    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const int rc =
        ::getaddrinfo(name.host.c_str(), std::to_string(name.port).c_str(), &hints, &found);
    if (rc != 0) {
        error = "cannot listen on " + name.peer() + ": " + ::gai_strerror(rc);
        return false;
    }
    s.listenFd.reset(::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    const int fd = s.listenFd.get();
    const int on = 1;
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                       ::bind(fd, found->ai_addr, found->ai_addrlen) == 0 && ::listen(fd, 4) == 0;
    ::freeaddrinfo(found);
    if (!bound) {
        error = "cannot listen on " + name.peer() + ": " + std::strerror(errno);
        return false;
    }
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size);
    name.port = static_cast<std::uint16_t>(
        ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&local)->sin6_port
                                          : reinterpret_cast<sockaddr_in*>(&local)->sin_port));
    // A client cannot connect to the any-address: the URL printed names
    // the loopback of the same family, which the listener also serves.
    if (IsWildcard(local)) {
        Log(quiet, "listening on every address of this machine (" + name.peer() +
                       "); connect through any of them");
        name.host = local.ss_family == AF_INET6 ? "::1" : "127.0.0.1";
    }
    s.url = (s.gateway ? "modbus-tcp://" : "tcp://") + name.peer();

    // The gateway's line keeps each request apart (one message a write), as
    // the silence between them does on a bus: two that came in one TCP
    // segment must not reach the inverter as one frame.
    const int lineType = (s.gateway ? SOCK_SEQPACKET : SOCK_STREAM) | SOCK_CLOEXEC | SOCK_NONBLOCK;
    if (!MakePair(s.line,
                  [lineType](int fds[2]) { return ::socketpair(AF_UNIX, lineType, 0, fds); }) ||
        !MakePair(s.stopPipe, [](int fds[2]) { return ::pipe2(fds, O_CLOEXEC); })) {
        error = std::string("cannot make the line: ") + std::strerror(errno);
        return false;
    }
    s.server = std::thread([&s] { s.serve(); });
    return true;
}

int Listener::lineFd() const
{
    return impl_->line[0].get();
}

bool Listener::framesRequests() const
{
    return impl_->gateway;
}

const std::string& Listener::url() const
{
    return impl_->url;
}

} // namespace korvanel
