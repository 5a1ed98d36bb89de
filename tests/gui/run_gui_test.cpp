// Whole runs from the real dialog through the real port and poll thread to
// korvanel-sim on a pseudo-terminal.
#include <QApplication>
#include <QElapsedTimer>
#include <QMenu>
#include <QTest>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <thread>
#include <vector>

#include "about_dlg.h"
#include "gui_support.h"
#include "resource.h"
#include "retry_schedule.h"

namespace korvanel {
namespace {

// Short enough that a failing run (eight ticks) takes about a second.
const char* const SHORT_PERIOD_MS = "100";

class RunAgainstInverter : public ::testing::Test {
protected:
    SimProcess inverter;
    std::unique_ptr<MainDialog> m;
    BoxAnswerer user;

    // False when the test cannot run here (it is then skipped).
    bool StartWith(const QStringList& args)
    {
        std::string error;
        if (!inverter.start(args, error)) {
            skipReason = error;
            return false;
        }
        m = OpenMainDialog();
        m->window.setControlText(IDC_POLL_PERIOD, SHORT_PERIOD_MS);
        Type(m->window.control(IDC_PORT_NAME), inverter.port());
        return true;
    }
    std::string skipReason;
    QString Label() { return QString::fromStdString(m->window.controlText(IDC_RUN_BUTTON)); }
};

TEST_F(RunAgainstInverter, AnAnsweringInverterGivesClearOk)
{
    if (!StartWith({}))
        GTEST_SKIP() << skipReason;
    Click(m->window.control(IDC_RUN_BUTTON));
    EXPECT_EQ(Label(), "Stop");
    ASSERT_TRUE(user.waitForBoxes(1, 10000));
    EXPECT_EQ(user.seen[0].text, "!!--Clear OK--!!");
    EXPECT_EQ(user.seen[0].caption, "Result");
    EXPECT_EQ(user.seen[0].icon, QMessageBox::NoIcon);
    EXPECT_EQ(Label(), "Start");
    EXPECT_FALSE(m->ports.current().isOpen());
    EXPECT_GE(inverter.requestsSeen(), 1);
}

TEST_F(RunAgainstInverter, ClearsThroughATcpConverter)
{
    if (!StartWith({"--listen", "tcp://127.0.0.1:0"}))
        GTEST_SKIP() << skipReason;
    ASSERT_TRUE(inverter.port().startsWith("tcp://127.0.0.1:"));
    Click(m->window.control(IDC_RUN_BUTTON));
    ASSERT_TRUE(user.waitForBoxes(1, 10000));
    EXPECT_EQ(user.seen[0].text, "!!--Clear OK--!!");
    EXPECT_EQ(Label(), "Start");
    EXPECT_GE(inverter.requestsSeen(), 1);
}

// A loopback listener: closed (refuses), or with its backlog full, so the
// next connection is never taken and connecting runs into its bound.
struct LoopbackListener {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    int held = -1;
    unsigned port = 0;

    explicit LoopbackListener(bool listening, bool backlogFull = true)
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size);
        port = ntohs(a.sin_port);
        if (!listening)
            return;
        ::listen(fd, 0);
        if (!backlogFull)
            return;
        held = ::socket(AF_INET, SOCK_STREAM, 0);
        ::connect(held, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~LoopbackListener()
    {
        ::close(fd);
        if (held >= 0)
            ::close(held);
    }
};

TEST(NetworkPortGui, AFailedConnectSaysWhyAndTheDialogKeepsPainting)
{
    struct Row {
        bool listening;
        const char* reason;
        int leastTimerShots;
    };
    const Row rows[] = {
        {false, "Connection refused", 0},
        // 3 s of connecting: a 50 ms timer keeps firing all along.
        {true, "Connection timed out", 20},
    };
    for (const Row& row : rows) {
        LoopbackListener peer(row.listening);
        auto m = OpenMainDialog();
        BoxAnswerer user;
        const QString name = "tcp://127.0.0.1:" + QString::number(peer.port);
        Type(m->window.control(IDC_PORT_NAME), name);
        int shots = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&] { ++shots; });
        timer.start(50);
        QElapsedTimer took;
        took.start();
        Click(m->window.control(IDC_RUN_BUTTON));
        ASSERT_TRUE(user.waitForBoxes(1, 10000)) << row.reason;
        std::printf("%s: box after %lld ms, %d timer shots while connecting\n", row.reason,
                    static_cast<long long>(took.elapsed()), shots);
        EXPECT_EQ(user.seen[0].text, "COM Open Fail: Connecting to 127.0.0.1:" + QString::number(peer.port) +
                                         ": " + row.reason);
        EXPECT_EQ(user.seen[0].caption, "Error");
        EXPECT_GE(shots, row.leastTimerShots);
        EXPECT_FALSE(m->ports.current().isOpen());
    }
}

TEST(NetworkPortGui, APressOrTheCloseBoxDuringAConnectCancelsItAtOnce)
{
    for (const bool closeWindow : {false, true}) {
        LoopbackListener peer(true, false); // the Telnet offer goes unanswered
        auto m = OpenMainDialog();
        BoxAnswerer user;
        QWidget* button = m->window.control(IDC_RUN_BUTTON);
        Type(m->window.control(IDC_PORT_NAME), QString("rfc2217://127.0.0.1:%1").arg(peer.port));
        std::string label;
        QTimer::singleShot(400, [&] {
            label = m->window.controlText(IDC_RUN_BUTTON);
            closeWindow ? (void)m->window.close() : Click(button);
        });
        QElapsedTimer took;
        took.start();
        Click(button);
        std::printf("%s at 400 ms: the open returned after %lld ms\n", closeWindow ? "close" : "press",
                    static_cast<long long>(took.elapsed()));
        EXPECT_EQ(label, "Stop");
        EXPECT_LT(took.elapsed(), 2000); // the connect's own bound is 3 s
        EXPECT_EQ(m->window.isVisible(), !closeWindow);
        user.waitForBoxes(1, 1000);
        ASSERT_EQ(user.seen.size(), closeWindow ? 0u : 1u);
        for (const SeenBox& box : user.seen)
            EXPECT_EQ(box.text, "COM Open Fail: the connect was cancelled");
        EXPECT_FALSE(m->ports.current().isOpen() || TheClearRun().state() != Idle);
    }
}

// A Telnet server that offers to echo and, once the client agrees (DO
// ECHO), hands back all it then receives; no inverter behind it. The echo
// must never pass for a reply.
TEST(NetworkPortGui, AnEchoOfferedByATelnetServerIsRefused)
{
    LoopbackListener peer(true, false);
    std::thread server([&peer] {
        const int c = ::accept(peer.fd, nullptr, nullptr);
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
    m->window.setControlText(IDC_POLL_PERIOD, SHORT_PERIOD_MS);
    Type(m->window.control(IDC_PORT_NAME), QString("rfc2217://127.0.0.1:%1").arg(peer.port));
    Click(m->window.control(IDC_RUN_BUTTON));
    const bool boxed = user.waitForBoxes(1, 15000);
    m.reset(); // the port closes, the server ends
    server.join();
    ASSERT_TRUE(boxed);
    EXPECT_EQ(user.seen[0].text.toStdString(), "!!--Operation Fail--!!");
}

TEST_F(RunAgainstInverter, ASilentInverterGivesOperationFailAfterFourRequests)
{
    if (!StartWith({"--fault", "silent"}))
        GTEST_SKIP() << skipReason;
    Click(m->window.control(IDC_RUN_BUTTON));
    ASSERT_TRUE(user.waitForBoxes(1, 15000));
    EXPECT_EQ(user.seen[0].text, "!!--Operation Fail--!!");
    EXPECT_EQ(user.seen[0].caption, "Result");
    EXPECT_EQ(Label(), "Start");
    // The log may trail the last write by a moment.
    const int requests = static_cast<int>(schedule::REQUEST_TICKS.size());
    const bool logged = QTest::qWaitFor([&] { return inverter.requestsSeen() >= requests; }, 2000);
    EXPECT_TRUE(logged);
    QTest::qWait(300);
    EXPECT_EQ(inverter.requestsSeen(), requests);
}

TEST_F(RunAgainstInverter, APressDuringARunStopsItWithoutABox)
{
    if (!StartWith({"--fault", "silent"}))
        GTEST_SKIP() << skipReason;
    EXPECT_EQ(Label(), "Clear");
    Click(m->window.control(IDC_RUN_BUTTON));
    EXPECT_EQ(Label(), "Stop");
    ASSERT_TRUE(QTest::qWaitFor([&] { return inverter.requestsSeen() >= 1; }, 5000));
    Click(m->window.control(IDC_RUN_BUTTON));
    EXPECT_EQ(Label(), "Start");
    EXPECT_FALSE(m->ports.current().isOpen());
    const int sent = inverter.requestsSeen();
    // Ten periods: no box, nothing more on the wire.
    QTest::qWait(1000);
    EXPECT_TRUE(user.seen.empty());
    EXPECT_EQ(inverter.requestsSeen(), sent);

    Click(m->window.control(IDC_RUN_BUTTON));
    EXPECT_EQ(Label(), "Stop");
}

// The real dialog's tick spacing at the default period, measured once: the
// queued calls that deliver ticks to the window, a silent inverter keeping
// the run going.
TEST_F(RunAgainstInverter, TicksComeAboutOncePerDefaultPeriod)
{
    if (!StartWith({"--fault", "silent"}))
        GTEST_SKIP() << skipReason;
    m->window.setControlText(IDC_POLL_PERIOD, "1000");
    struct : QObject {
        QElapsedTimer clock;
        std::vector<qint64> at;
        bool eventFilter(QObject*, QEvent* e) override
        {
            return e->type() == QEvent::MetaCall && (at.push_back(clock.elapsed()), false);
        }
    } ticks;
    ticks.clock.start();
    m->window.installEventFilter(&ticks);
    Click(m->window.control(IDC_RUN_BUTTON));
    ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.at.size() >= 4; }, 10000));
    m->window.removeEventFilter(&ticks);
    for (std::size_t i = 1; i < 4; ++i) {
        std::printf("tick %zu to %zu at the default period: %lld ms\n", i, i + 1, ticks.at[i] - ticks.at[i - 1]);
        EXPECT_GT(ticks.at[i] - ticks.at[i - 1], 500);
        EXPECT_LT(ticks.at[i] - ticks.at[i - 1], 2000);
    }
}

TEST_F(RunAgainstInverter, TicksAreHandledWhileTheAboutBoxIsOpen)
{
    if (!StartWith({}))
        GTEST_SKIP() << skipReason;
    Click(m->window.control(IDC_RUN_BUTTON));
    CAboutDlg* about = nullptr;
    bool aboutOpenAtResult = false;
    user.beforeAnswer = [&](QMessageBox*) {
        aboutOpenAtResult = about && about->isVisible();
        return true;
    };
    QTimer::singleShot(0, [&] {
        about = dynamic_cast<CAboutDlg*>(QApplication::activeModalWidget());
        // The About box stays up until the run's result has been answered.
        const bool answered = QTest::qWaitFor([&] { return !user.seen.empty(); }, 10000);
        EXPECT_TRUE(answered);
        if (about)
            about->accept();
    });
    m->window.contextMenu()->actions().at(1)->trigger();
    ASSERT_NE(about, nullptr);
    ASSERT_EQ(user.seen.size(), 1u);
    EXPECT_EQ(user.seen[0].text, "!!--Clear OK--!!");
    EXPECT_TRUE(aboutOpenAtResult);
}

} // namespace
} // namespace korvanel
