// The real dialog over rfc2217:// to a Telnet server that offers to echo
// and, once the client agrees, hands every data byte back; no inverter
// behind it. The echo must never pass for the inverter's reply.
#include <QElapsedTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "gui_support.h"
#include "resource.h"

namespace korvanel {
namespace {

class EchoingTelnetServer {
public:
    EchoingTelnetServer()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, 1);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~EchoingTelnetServer()
    {
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
    }
    unsigned port = 0;
    std::atomic<int> echoed{0};

private:
    void serve()
    {
        const int c = ::accept(listener_, nullptr, nullptr);
        if (c < 0)
            return;
        const unsigned char offer[] = {0xFF, 0xFD, 44, 0xFF, 0xFB, 1}; // DO COM-PORT, WILL ECHO
        (void)!::send(c, offer, sizeof offer, MSG_NOSIGNAL);
        bool echoing = false;
        std::vector<unsigned char> in;
        unsigned char b[512];
        ssize_t n;
        while ((n = ::recv(c, b, sizeof b, 0)) > 0) {
            in.insert(in.end(), b, b + n);
            std::vector<unsigned char> out;
            std::size_t i = 0;
            for (; i < in.size(); ++i) {
                if (in[i] != 0xFF) {
                    if (echoing)
                        out.push_back(in[i]);
                    continue;
                }
                if (i + 1 >= in.size())
                    break;
                const unsigned char verb = in[i + 1];
                if (verb == 0xFF) { // a data byte 0xFF
                    if (echoing)
                        out.insert(out.end(), {0xFF, 0xFF});
                    ++i;
                } else if (verb >= 0xFB && verb <= 0xFE) {
                    if (i + 2 >= in.size())
                        break;
                    if (in[i + 2] == 1)
                        echoing = verb == 0xFD; // the client's DO ECHO or DONT ECHO
                    i += 2;
                } else if (verb == 0xFA) {
                    const std::size_t end = i + 2; // the subnegotiation is passed over
                    std::size_t j = end;
                    while (j + 1 < in.size() && !(in[j] == 0xFF && in[j + 1] == 0xF0))
                        ++j;
                    if (j + 1 >= in.size())
                        break;
                    i = j + 1;
                } else {
                    ++i;
                }
            }
            in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(i));
            if (!out.empty()) {
                echoed += static_cast<int>(out.size());
                (void)!::send(c, out.data(), out.size(), MSG_NOSIGNAL);
            }
        }
        ::close(c);
    }
    int listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    std::thread thread_;
};

TEST(NetworkPortGui, AnEchoOfferedByATelnetServerIsRefused)
{
    EchoingTelnetServer server;
    auto m = OpenMainDialog();
    BoxAnswerer user;
    m->window.setControlText(IDC_POLL_PERIOD, "100");
    Type(m->window.control(IDC_PORT_NAME), "rfc2217://127.0.0.1:" + QString::number(server.port));
    QElapsedTimer took;
    took.start();
    Click(m->window.control(IDC_RUN_BUTTON));
    ASSERT_TRUE(user.waitForBoxes(1, 15000));
    std::printf("box after %lld ms; the server echoed %d bytes\n", static_cast<long long>(took.elapsed()),
                server.echoed.load());
    EXPECT_EQ(user.seen[0].text.toStdString(), "!!--Operation Fail--!!");
    EXPECT_EQ(server.echoed.load(), 0);
}

} // namespace
} // namespace korvanel
