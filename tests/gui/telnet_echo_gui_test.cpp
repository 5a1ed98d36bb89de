// The real dialog over rfc2217:// to a Telnet server that offers to echo
// and, once the client agrees (DO ECHO), hands back all it then receives;
// no inverter behind it. The echo must never pass for a reply.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "gui_support.h"
#include "resource.h"

namespace korvanel {
namespace {

TEST(NetworkPortGui, AnEchoOfferedByATelnetServerIsRefused)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t size = sizeof a;
    ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener, 1);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size);
    std::thread server([listener] {
        const int c = ::accept(listener, nullptr, nullptr);
        const unsigned char offer[] = {0xFF, 0xFD, 44, 0xFF, 0xFB, 1}, agreed[] = {0xFF, 0xFD, 1};
        (void)!::send(c, offer, sizeof offer, MSG_NOSIGNAL); // DO COM-PORT, WILL ECHO
        unsigned char b[512];
        bool echoing = false;
        for (ssize_t n; (n = ::recv(c, b, sizeof b, 0)) > 0;) {
            echoing = echoing || std::search(b, b + n, agreed, agreed + 3) != b + n;
            if (echoing)
                (void)!::send(c, b, std::size_t(n), MSG_NOSIGNAL);
        }
        ::close(c);
    });
    auto m = OpenMainDialog();
    BoxAnswerer user;
    m->window.setControlText(IDC_POLL_PERIOD, "100");
    Type(m->window.control(IDC_PORT_NAME), "rfc2217://127.0.0.1:" + QString::number(ntohs(a.sin_port)));
    Click(m->window.control(IDC_RUN_BUTTON));
    const bool boxed = user.waitForBoxes(1, 15000);
    m.reset(); // the port closes, the server ends
    server.join();
    ::close(listener);
    ASSERT_TRUE(boxed);
    EXPECT_EQ(user.seen[0].text.toStdString(), "!!--Operation Fail--!!");
}

} // namespace
} // namespace korvanel
