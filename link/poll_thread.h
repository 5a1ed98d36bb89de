// The thread that paces every run: it sleeps one poll period, and whenever
// the run is not Idle it asks the front end to deliver a tick. It does no
// I/O and no run logic; the tick is handled on the front end's own thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "clear_run.h"

namespace korvanel {

// A period of 0 or less would spin or sleep for ever; it is taken as the
// default instead.
std::int32_t EffectivePollPeriodMs(std::int32_t pollPeriod);

// What the dialog needs from the thread that paces runs. PollThread
// implements it; tests implement it with a pacer they tick by hand.
class TickPacer {
public:
    // Called on the pacer's thread; must only post (PostMessage, a queued
    // call, a queue push) and return at once.
    using PostTick = std::function<void()>;

    virtual ~TickPacer() = default;

    // Starts pacing `run`: `postTick` is called on the pacer's own thread
    // once a period while the run is not Idle. False when the thread cannot
    // be created.
    virtual bool start(ClearRun& run, PostTick postTick) = 0;
};

class PollThread : public TickPacer {
public:
    PollThread() = default;
    ~PollThread() override; // stops and joins
    PollThread(const PollThread&) = delete;
    PollThread& operator=(const PollThread&) = delete;

    // Starts the thread over `run`. False when the thread cannot be created.
    bool start(ClearRun& run, PostTick postTick) override;
    // The program itself never stops the thread before exit; tests and the
    // command line do, and the destructor does.
    void stop();
    bool running() const;

private:
    void loop();

    ClearRun* run_ = nullptr;
    PostTick postTick_;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false;
};

} // namespace korvanel
