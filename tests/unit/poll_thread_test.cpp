// The poll thread: ticks only while a run is under way, at the run's period,
// with a period of 0 or less taken as the default rather than a spin.
#include "poll_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>
#include <vector>

namespace korvanel {
namespace {

using namespace std::chrono_literals;

TEST(PollPeriod, NonPositiveMeansTheDefault)
{
    struct Row {
        std::int32_t set;
        std::int32_t used;
    };
    const Row rows[] = {
        {1000, 1000}, {20, 20}, {1, 1}, {60000, 60000}, {0, 1000}, {-1, 1000}, {INT32_MIN, 1000},
    };
    for (const Row& row : rows)
        EXPECT_EQ(EffectivePollPeriodMs(row.set), row.used) << row.set;
}

class CountingPoll {
public:
    explicit CountingPoll(std::int32_t periodMs, std::uint8_t state)
    {
        run.setPeriod(periodMs);
        run.setState(state);
        EXPECT_TRUE(thread.start(run, [this] { ++ticks; }));
    }
    ClearRun run;
    std::atomic<int> ticks{0};
    PollThread thread;
};

TEST(PollThreadTicks, OnlyWhileARunIsUnderWay)
{
    struct Row {
        std::uint8_t state;
        bool ticks;
    };
    const Row rows[] = {{Idle, false}, {Armed, true}, {Waiting, true}};
    for (const Row& row : rows) {
        CountingPoll poll(5, row.state);
        std::this_thread::sleep_for(150ms);
        poll.thread.stop();
        if (row.ticks)
            EXPECT_GT(poll.ticks.load(), 3) << int(row.state);
        else
            EXPECT_EQ(poll.ticks.load(), 0) << int(row.state);
    }
}

TEST(PollThreadTicks, StopAndStartFollowTheRun)
{
    CountingPoll poll(5, Armed);
    std::this_thread::sleep_for(60ms);
    poll.run.setState(Idle);
    std::this_thread::sleep_for(20ms);  // a tick already being posted may land
    const int atStop = poll.ticks.load();
    EXPECT_GT(atStop, 0);
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(poll.ticks.load(), atStop);
    poll.run.setState(Waiting);
    std::this_thread::sleep_for(100ms);
    EXPECT_GT(poll.ticks.load(), atStop);
}

TEST(PollThreadTicks, ZeroOrNegativePeriodDoesNotSpin)
{
    for (std::int32_t period : {0, -5}) {
        CountingPoll poll(period, Armed);
        std::this_thread::sleep_for(200ms);
        // At 1000 ms the first tick is still far off; a spin would post
        // thousands by now.
        EXPECT_EQ(poll.ticks.load(), 0) << period;
        const auto before = std::chrono::steady_clock::now();
        poll.thread.stop();
        EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms) << "stop waits out the sleep";
    }
}

// The thread sleeps first and keeps its own rhythm: a run armed 300 ms
// into a 1000 ms sleep gets its first tick 700 ms later, not a period
// later; a period changed during a sleep takes effect from the next one.
TEST(PollThreadTicks, TheFirstTickKeepsTheThreadsRhythmAndANewPeriodStartsNextCycle)
{
    using Clock = std::chrono::steady_clock;
    std::vector<long long> ms;  // of each tick, since the start
    std::atomic<int> ticks{0};
    ClearRun run;
    run.setPeriod(1000);
    PollThread thread;
    const Clock::time_point start = Clock::now();
    ASSERT_TRUE(thread.start(run, [&] {
        ms.push_back(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        ++ticks;
    }));
    std::this_thread::sleep_for(300ms);
    run.setState(Armed);
    for (int i = 0; i < 1000 && ticks < 1; ++i)
        std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(50ms);  // inside the next sleep
    run.setPeriod(100);
    for (int i = 0; i < 1000 && ticks < 3; ++i)
        std::this_thread::sleep_for(5ms);
    thread.stop();
    ASSERT_GE(ms.size(), 3u);
    std::printf("ticks at %lld, %lld, %lld ms; armed at 300 ms\n", ms[0], ms[1], ms[2]);
    EXPECT_GE(ms[0], 990);
    EXPECT_LT(ms[0], 1250) << "arming restarted the sleep";
    EXPECT_GE(ms[1] - ms[0], 800) << "the sleep under way was cut short";
    EXPECT_LT(ms[2] - ms[1], 600) << "the new period did not follow";
}

TEST(PollThreadTicks, StopsPromptlyInALongSleep)
{
    CountingPoll poll(60000, Armed);
    EXPECT_TRUE(poll.thread.running());
    std::this_thread::sleep_for(20ms);
    const auto before = std::chrono::steady_clock::now();
    poll.thread.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 500ms);
    EXPECT_FALSE(poll.thread.running());
    EXPECT_EQ(poll.ticks.load(), 0);
}

} // namespace
} // namespace korvanel
