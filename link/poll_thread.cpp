#include "poll_thread.h"

#include <chrono>
#include <system_error>

namespace korvanel {

std::int32_t EffectivePollPeriodMs(std::int32_t pollPeriod)
{
    return pollPeriod > 0 ? pollPeriod : DEFAULT_POLL_PERIOD_MS;
}

PollThread::~PollThread()
{
    stop();
}

bool PollThread::start(ClearRun& run, PostTick postTick)
{
    if (thread_.joinable())
        return false;
    run_ = &run;
    postTick_ = std::move(postTick);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = false;
    }
    try {
        thread_ = std::thread(&PollThread::loop, this);
    } catch (const std::system_error&) {
        return false;
    }
    return true;
}

void PollThread::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

bool PollThread::running() const
{
    return thread_.joinable();
}

void PollThread::loop()
{
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        // The period is read afresh each cycle, so a change takes effect from
        // the next sleep; the rhythm is never reset by a run starting.
        const auto period = std::chrono::milliseconds(EffectivePollPeriodMs(run_->period()));
        if (wake_.wait_for(lock, period, [this] { return stopping_; }))
            return;
        // Armed and Waiting want ticks; finished states last only inside a
        // tick, so "not Idle" is the whole test.
        if (run_->state() != Idle) {
            lock.unlock();
            postTick_();
            lock.lock();
            if (stopping_)
                return;
        }
    }
}

} // namespace korvanel
