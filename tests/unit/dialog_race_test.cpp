// Presses of the button racing the ticks of the real poll thread, at a 1 ms
// period. Built and run under ThreadSanitizer too, where any unsynchronised
// access between the poll thread and the UI thread is a report.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <random>
#include <set>
#include <thread>

#include "clear_dlg.h"
#include "dialog_fakes.h"
#include "poll_thread.h"
#include "resource.h"

namespace korvanel {
namespace {

using namespace fakes;

const Bytes kEcho = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};

// Ticks cross from the poll thread to the test's "UI thread" through a
// locked counter, as a posted message would.
class RacingWindow : public RecordingWindow {
public:
    void postClearTick() override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++queued_;
    }
    unsigned takeTicks(unsigned most)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const unsigned n = queued_ < most ? queued_ : most;
        queued_ -= n;
        return n;
    }

private:
    std::mutex mutex_;
    unsigned queued_ = 0;
};

// Each open is a new session; a write or a result for a session the user
// has stopped is a tick acting on a stopped run.
class SessionPort : public FakePort {
public:
    int session = 0;
    std::set<int> stoppedByUser;
    int writesWhileClosed = 0;
    int writesAfterUserStop = 0;

    PortOpenResult open(const PortAddress& name) override
    {
        ++session;
        return FakePort::open(name);
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        if (!isOpen())
            ++writesWhileClosed;
        if (stoppedByUser.count(session))
            ++writesAfterUserStop;
        FakePort::writeFrame(bytes, count);
    }
};

TEST(DialogRace, PressesRacingTicksNeverLetAStoppedRunAct)
{
    const unsigned seed = std::random_device{}();
    std::printf("seed %u\n", seed);
    std::mt19937 rng(seed);

    ClearRun run;
    RacingWindow window;
    SessionPort port;
    PollThread pacer;
    CClearDlg dlg(window, port, pacer, run);
    ASSERT_TRUE(dlg.OnInitDialog());
    window.setControlText(IDC_POLL_PERIOD, "1");

    int resultsAfterUserStop = 0;
    window.whileBoxOpen = [&] {
        if (window.boxes.back().caption == "Result" && port.stoppedByUser.count(port.session))
            ++resultsAfterUserStop;
    };

    // The thread's first sleep is the 1000 ms set at initialisation; the
    // 1 ms period of the first press takes over from the next cycle.
    dlg.OnClearButton();
    const auto firstTickBy = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (window.takeTicks(1000) == 0 && std::chrono::steady_clock::now() < firstTickBy)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    dlg.OnClearButton();
    ASSERT_EQ(run.state(), Idle);
    port.stoppedByUser.insert(port.session);

    int presses = 0;
    int userStops = 0;
    while (presses < 1000) {
        // Between presses: a pause of up to 3 ms, then a few of the ticks
        // posted meanwhile handled (0 to 9; the rest stay queued across the
        // press), each with a valid reply, junk or nothing on the line.
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 3000));
        const unsigned ticks = window.takeTicks(rng() % 10);
        for (unsigned t = 0; t < ticks; ++t) {
            const unsigned what = rng() % 4;
            port.arrivals.push_back(what == 0 ? kEcho : what == 1 ? Bytes{0x55, 0x06} : Bytes{});
            dlg.Dispatch({WM_CLEAR_TICK, WM_CLEAR_TICK_WPARAM, WM_CLEAR_TICK_LPARAM});
            port.arrivals.clear();
        }

        const bool wasRunning = port.isOpen() || run.state() != Idle;
        dlg.Dispatch(CommandMessage(IDC_RUN_BUTTON, NOTIFY_BN_CLICKED));
        ++presses;
        if (wasRunning) {
            ++userStops;
            port.stoppedByUser.insert(port.session);
            EXPECT_EQ(run.state(), Idle);
            EXPECT_FALSE(port.isOpen());
            EXPECT_EQ(window.controlText(IDC_RUN_BUTTON), "Start");
        } else {
            EXPECT_EQ(run.state(), Armed);
            EXPECT_EQ(window.controlText(IDC_RUN_BUTTON), "Stop");
        }
    }
    // Ticks still queued after the last press arrive too.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (unsigned t = window.takeTicks(1000); t > 0; --t)
        dlg.Dispatch({WM_CLEAR_TICK, WM_CLEAR_TICK_WPARAM, WM_CLEAR_TICK_LPARAM});
    pacer.stop();

    EXPECT_GT(userStops, 100);
    EXPECT_GT(port.writes.size(), 100u);
    EXPECT_EQ(port.writesWhileClosed, 0);
    EXPECT_EQ(port.writesAfterUserStop, 0);
    EXPECT_EQ(resultsAfterUserStop, 0);
    for (const Bytes& w : port.writes)
        EXPECT_EQ(w, kEcho);
}

} // namespace
} // namespace korvanel
