// NetSocket on BSD sockets.
#include "net_socket.h"

#include <fcntl.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace korvanel {

namespace {

// A frame is at most 260 bytes and the send buffer is empty between
// requests, so a send that finds no room for this long has a peer that
// reads nothing.
constexpr int SEND_ROOM_WAIT_MS = 1000;

int PollOnce(int fd, short events, int timeoutMs, short& revents)
{
    pollfd p{fd, events, 0};
    int ready;
    do {
        ready = ::poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    revents = p.revents;
    return ready;
}

} // namespace

struct NetSocket::Impl {
    int fd = -1;
};

NetSocket::NetSocket() : impl_(new Impl)
{}

NetSocket::~NetSocket()
{
    close();
}

bool ResolveHost(const std::string& host, std::uint16_t port, std::vector<SocketAddress>& addresses,
                 std::string& error)
{
    const auto word = [](int rc) -> std::string {
        return rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc);
    };
    return LookUpHost<addrinfo>(::getaddrinfo, ::freeaddrinfo, ::if_nametoindex, word, AF_UNSPEC,
                                SOCK_STREAM, IPPROTO_TCP, host, port, addresses, error);
}

NetSocket::Step NetSocket::startConnect(const SocketAddress& address, std::string& error)
{
    close();
    const int fd =
        ::socket(address.family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        error = std::strerror(errno);
        return Step::Failed;
    }
    impl_->fd = fd;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(address.raw.data()),
                  static_cast<socklen_t>(address.raw.size())) == 0)
        return finishConnect(std::chrono::milliseconds(0), error);
    if (errno == EINPROGRESS || errno == EINTR)
        return Step::Pending;
    error = std::strerror(errno);
    close();
    return Step::Failed;
}

NetSocket::Step NetSocket::finishConnect(std::chrono::milliseconds slice, std::string& error)
{
    short revents = 0;
    const int ready = PollOnce(impl_->fd, POLLOUT, static_cast<int>(slice.count()), revents);
    if (ready == 0)
        return Step::Pending;
    int soError = 0;
    socklen_t size = sizeof soError;
    if (ready < 0 || ::getsockopt(impl_->fd, SOL_SOCKET, SO_ERROR, &soError, &size) != 0)
        soError = errno;
    if (soError != 0) {
        error = std::strerror(soError);
        close();
        return Step::Failed;
    }
    // Frames are small and each is awaited: no coalescing delay. Keepalive
    // finds a converter that vanished while the line was idle.
    const int on = 1;
    (void)::setsockopt(impl_->fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    (void)::setsockopt(impl_->fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    return Step::Done;
}

bool NetSocket::isOpen() const
{
    return impl_->fd >= 0;
}

void NetSocket::close()
{
    if (impl_->fd >= 0)
        ::close(impl_->fd);
    impl_->fd = -1;
}

NetSocket::Io NetSocket::receive(std::uint8_t* buffer, std::size_t room, std::size_t& got,
                                 std::string& error)
{
    got = 0;
    ssize_t n;
    do {
        n = ::recv(impl_->fd, buffer, room, 0);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return Io::Data;
    }
    if (n == 0)
        return Io::Closed;
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        return Io::Nothing;
    error = std::strerror(errno);
    return Io::Failed;
}

NetSocket::Io NetSocket::send(const std::uint8_t* bytes, std::size_t length, std::string& error)
{
    std::size_t sent = 0;
    while (sent < length) {
        // MSG_NOSIGNAL: a closed peer is an error to report, not a SIGPIPE.
        const ssize_t n = ::send(impl_->fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            short revents = 0;
            if (PollOnce(impl_->fd, POLLOUT, SEND_ROOM_WAIT_MS, revents) > 0)
                continue;
            error = "the peer takes no data";
            return Io::Failed;
        }
        error = std::strerror(errno);
        return Io::Failed;
    }
    return Io::Data;
}

bool NetSocket::waitReadable(std::chrono::milliseconds timeout)
{
    short revents = 0;
    return PollOnce(impl_->fd, POLLIN, static_cast<int>(timeout.count()), revents) > 0;
}

} // namespace korvanel
