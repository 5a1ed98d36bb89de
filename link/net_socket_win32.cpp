// NetSocket on Winsock 2. Each step has its BSD counterpart in
// net_socket_posix.cpp; the differences:
//   close-on-exec        the handle is made non-inheritable
//   O_NONBLOCK           ioctlsocket(FIONBIO)
//   poll                 select: WSAPoll misses a failed connect on older
//                        Windows, select reports it in the except set
//   MSG_NOSIGNAL         none needed: Windows has no SIGPIPE
#include "net_socket.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
// After the Winsock headers, which it needs.
#include <iphlpapi.h>

namespace korvanel {

namespace {

constexpr int SEND_ROOM_WAIT_MS = 1000;

// Winsock must be started once per process before any other call; it
// stays up until the process ends.
bool WinsockReady(std::string& error)
{
    static const int started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data);
    }();
    if (started != 0)
        error = "Winsock did not start (error " + std::to_string(started) + ")";
    return started == 0;
}

// The words POSIX systems use, so a log reads the same on both platforms.
constexpr char TEXT_CONNECTION_RESET[] = "Connection reset by peer";

std::string SystemMessage(int err)
{
    if (err == WSAECONNRESET)
        return TEXT_CONNECTION_RESET;
    char text[512] = {};
    DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                               static_cast<DWORD>(err), 0, text, sizeof text, nullptr);
    while (n > 0 &&
           (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ' || text[n - 1] == '.'))
        text[--n] = '\0';
    return n > 0 ? std::string(text) : "Winsock error " + std::to_string(err);
}

timeval Timeval(long ms)
{
    timeval tv;
    tv.tv_sec = ms / 1000;
    tv.tv_usec = (ms % 1000) * 1000;
    return tv;
}

} // namespace

struct NetSocket::Impl {
    SOCKET s = INVALID_SOCKET;
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
    if (!WinsockReady(error))
        return false;
    // Windows' lookup takes a zone by number only, which LookUpHost gives it.
    const auto word = [](int rc) { return SystemMessage(rc); };
    return LookUpHost<addrinfo>(::getaddrinfo, ::freeaddrinfo, ::if_nametoindex, word, AF_UNSPEC,
                                SOCK_STREAM, IPPROTO_TCP, host, port, addresses, error);
}

NetSocket::Step NetSocket::startConnect(const SocketAddress& address, std::string& error)
{
    close();
    if (!WinsockReady(error))
        return Step::Failed;
    const SOCKET s = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = SystemMessage(::WSAGetLastError());
        return Step::Failed;
    }
    impl_->s = s;
    // Not handed to child processes, as POSIX's SOCK_CLOEXEC.
    ::SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    u_long nonBlocking = 1;
    if (::ioctlsocket(s, FIONBIO, &nonBlocking) != 0) {
        error = SystemMessage(::WSAGetLastError());
        close();
        return Step::Failed;
    }
    if (::connect(s, reinterpret_cast<const sockaddr*>(address.raw.data()),
                  static_cast<int>(address.raw.size())) == 0)
        return finishConnect(std::chrono::milliseconds(0), error);
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK || err == WSAEINPROGRESS)
        return Step::Pending;
    error = SystemMessage(err);
    close();
    return Step::Failed;
}

NetSocket::Step NetSocket::finishConnect(std::chrono::milliseconds slice, std::string& error)
{
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(impl_->s, &writable);
    FD_SET(impl_->s, &failed);
    timeval tv = Timeval(static_cast<long>(slice.count()));
    const int ready = ::select(0, nullptr, &writable, &failed, &tv);
    if (ready == 0)
        return Step::Pending;
    int soError = 0;
    int size = sizeof soError;
    if (ready == SOCKET_ERROR)
        soError = ::WSAGetLastError();
    else if (FD_ISSET(impl_->s, &failed) &&
             ::getsockopt(impl_->s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError),
                          &size) != 0)
        soError = ::WSAGetLastError();
    if (soError != 0) {
        error = SystemMessage(soError);
        close();
        return Step::Failed;
    }
    const BOOL on = TRUE;
    (void)::setsockopt(impl_->s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on),
                       sizeof on);
    (void)::setsockopt(impl_->s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on),
                       sizeof on);
    return Step::Done;
}

bool NetSocket::isOpen() const
{
    return impl_->s != INVALID_SOCKET;
}

void NetSocket::close()
{
    if (impl_->s != INVALID_SOCKET)
        ::closesocket(impl_->s);
    impl_->s = INVALID_SOCKET;
}

NetSocket::Io NetSocket::receive(std::uint8_t* buffer, std::size_t room, std::size_t& got,
                                 std::string& error)
{
    got = 0;
    const int n = ::recv(impl_->s, reinterpret_cast<char*>(buffer), static_cast<int>(room), 0);
    if (n > 0) {
        got = static_cast<std::size_t>(n);
        return Io::Data;
    }
    if (n == 0) {
        // Wine may end a reset stream as if it had been closed: a send of
        // nothing still meets the reset, as it does on Windows.
        if (::send(impl_->s, "", 0, 0) != SOCKET_ERROR || ::WSAGetLastError() != WSAECONNRESET)
            return Io::Closed;
        error = SystemMessage(WSAECONNRESET);
        return Io::Failed;
    }
    const int err = ::WSAGetLastError();
    if (err == WSAEWOULDBLOCK)
        return Io::Nothing;
    error = SystemMessage(err);
    return Io::Failed;
}

NetSocket::Io NetSocket::send(const std::uint8_t* bytes, std::size_t length, std::string& error)
{
    std::size_t sent = 0;
    while (sent < length) {
        const int n = ::send(impl_->s, reinterpret_cast<const char*>(bytes + sent),
                             static_cast<int>(length - sent), 0);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        const int err = ::WSAGetLastError();
        if (err == WSAEWOULDBLOCK) {
            fd_set writable;
            FD_ZERO(&writable);
            FD_SET(impl_->s, &writable);
            timeval tv = Timeval(SEND_ROOM_WAIT_MS);
            if (::select(0, nullptr, &writable, nullptr, &tv) > 0)
                continue;
            error = "the peer takes no data";
            return Io::Failed;
        }
        error = SystemMessage(err);
        return Io::Failed;
    }
    return Io::Data;
}

bool NetSocket::waitReadable(std::chrono::milliseconds timeout)
{
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(impl_->s, &readable);
    timeval tv = Timeval(static_cast<long>(timeout.count()));
    return ::select(0, &readable, nullptr, nullptr, &tv) > 0;
}

} // namespace korvanel
