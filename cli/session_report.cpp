#include "session_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include "hex_bytes.h"
#include "protocol.h"
#include "texts.h"

namespace korvanel {

namespace {

class SteadyClock : public SessionClock {
public:
    Clock::time_point now() const override { return Clock::now(); }
    void sleepUntil(Clock::time_point when) override { std::this_thread::sleep_until(when); }
};

} // namespace

SessionClock& SteadySessionClock()
{
    static SteadyClock clock;
    return clock;
}

void ClearTrace::stamp()
{
    const double ms = std::chrono::duration<double, std::milli>(clock_.now() - start_).count();
    char head[64];
    std::snprintf(head, sizeof head, "%10.1f ms  ", ms);
    *sink_ << head;
}

void ClearTrace::prefix(int address, unsigned tick)
{
    stamp();
    if (address >= 0)
        *sink_ << "addr " << address << "  ";
    if (tick == 0)
        *sink_ << "input   ";
    else
        *sink_ << "tick " << tick << "  ";
}

void ClearTrace::sent(int address, unsigned tick, const std::uint8_t* bytes, std::uint32_t count,
                      const std::string& problem)
{
    if (!sink_)
        return;
    prefix(address, tick);
    *sink_ << "TX  " << HexBytes(bytes, count);
    if (!problem.empty())
        *sink_ << "  (" << problem << ')';
    *sink_ << '\n' << std::flush;
}

void ClearTrace::gathered(int address, unsigned tick, bool completed, const std::uint8_t* bytes,
                          std::uint32_t kept, std::uint32_t taken)
{
    if (!sink_)
        return;
    prefix(address, tick);
    *sink_ << "RX  ";
    if (!completed)
        *sink_ << "(read failed)";
    else if (kept == 0)
        *sink_ << "(none)";
    else
        *sink_ << HexBytes(bytes, kept);
    if (completed && taken > kept)
        *sink_ << "  (+" << (taken - kept) << " more dropped)";
    *sink_ << '\n' << std::flush;
}

void ClearTrace::note(const std::string& text)
{
    if (!sink_)
        return;
    stamp();
    *sink_ << text << '\n' << std::flush;
}

void SessionStats::tickHandled(std::chrono::steady_clock::duration took)
{
    ++ticks_;
    total_ += took;
    if (took > longest_)
        longest_ = took;
}

void SessionStats::closed()
{
    if (runs_ == 1)
        readings_[AFTER_LAST_RUN] = readings_[AFTER_FIRST_RUN];
    take(AFTER_CLOSE);
}

void SessionStats::report(std::ostream& err) const
{
    if (!enabled_)
        return;
    using Ms = std::chrono::duration<double, std::milli>;
    char times[96];
    std::snprintf(times, sizeof times, "longest tick handler %.3f ms, mean %.3f ms\n",
                  Ms(longest_).count(), ticks_ ? Ms(total_).count() / ticks_ : 0.0);
    err << "stats: " << CountOf(runs_, "run", "runs") << ", " << CountOf(ticks_, "tick", "ticks")
        << "; " << times;
    err << "stats: " << OpenHandlesName() << ' ' << readings_[BEFORE_OPEN].openHandles
        << " before open, " << readings_[AFTER_FIRST_RUN].openHandles << " after the first run, "
        << readings_[AFTER_LAST_RUN].openHandles << " after the last run, "
        << readings_[AFTER_CLOSE].openHandles << " after close\n";
    err << "stats: memory KiB " << readings_[BEFORE_OPEN].residentKiB << " before open, "
        << readings_[AFTER_FIRST_RUN].residentKiB << " after the first run, "
        << readings_[AFTER_LAST_RUN].residentKiB << " after the last run, "
        << readings_[AFTER_CLOSE].residentKiB << " after close\n";
}

std::string CountOf(unsigned long count, const char* singular, const char* plural)
{
    return std::to_string(count) + ' ' + (count == 1 ? singular : plural);
}

std::string ExceptionText(std::uint8_t code)
{
    char text[96];
    std::snprintf(text, sizeof text, "exception %02X (%s)", code, ExceptionCodeMeaning(code));
    return text;
}

std::string ValueText(std::uint16_t value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%u (0x%04X)", static_cast<unsigned>(value),
                  static_cast<unsigned>(value));
    return text;
}

std::string RegisterText()
{
    char text[24];
    std::snprintf(text, sizeof text, "register 0x%04X", static_cast<unsigned>(CLEAR_REGISTER));
    return text;
}

std::string AddressPrefix(bool showAddress, std::uint8_t address)
{
    return showAddress ? std::to_string(address) + ": " : std::string();
}

bool Reporter::say(const std::string& line)
{
    io_.out << line << '\n' << std::flush;
    if (io_.out)
        return true;
    const int error = errno;
    io_.err << "korvanel-clear: cannot write the outcome to standard output ("
            << std::strerror(error) << "); the session stops and the port is closed.\n";
    return false;
}

void Reporter::note(const std::string& text)
{
    io_.err << "korvanel-clear: " << text << '\n';
}

void Reporter::noteEcho()
{
    if (echoNoted_)
        return;
    echoNoted_ = true;
    note("the line echoes our requests; they are taken off");
}

} // namespace korvanel
