// korvanel-clear's sessions over a scripted line, in process: the real
// session, poll thread and engine against the simulator's inverters, with
// the adapter faults technicians meet (echo, glitch, late echo, slow
// inverters, exceptions by meaning). Each row is what the user sees.
#include "clear_session.h"

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "inverter.h"
#include "modbus_crc.h"
#include "run_port.h"

namespace korvanel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;
using Ms = std::chrono::milliseconds;

struct LineScript {
    SimConfig inverters;
    bool echo = false;
    unsigned echoDelayMs = 0;
    Bytes glitch;  // ahead of each echo
    // Writes are carried out but answered with this exception code (05:
    // acknowledge), or the first write only is (06: busy); 0 for neither.
    std::uint8_t acknowledgeEvery = 0;
    std::uint8_t refuseFirst = 0;
    // Reads are answered with this exception code (06 busy, 02...); 0: not.
    std::uint8_t readException = 0;
    // A noise byte lands inside the first this many echoes.
    unsigned noisyEchoes = 0;
    // The peer hangs up right after its first answer.
    bool closeAfterAnswer = false;
    std::string portNote;
    // The first this many writes of 0x06 are cut short: nothing of them
    // reaches the line.
    unsigned cutShortWrites = 0;
};

// The session's and the line's time: it moves only while one of them
// waits, to exactly the time waited for, so the figures a session prints
// are exact. The wait itself is real, up to the same point on the steady
// clock, so the poll thread's ticks keep their place and time lost to a
// loaded machine is made up by the next waits.
class SteppedClock : public SessionClock {
public:
    Clock::time_point now() const override { return now_; }
    void sleepUntil(Clock::time_point when) override
    {
        if (when <= now_)
            return;
        std::this_thread::sleep_until(origin_ + (when - Clock::time_point{}));
        now_ = when;
    }

private:
    const Clock::time_point origin_ = Clock::now();
    Clock::time_point now_{};
};

// A line whose far end is the simulator's inverters behind an adapter that
// may echo: every frame written is answered on the simulator's timing.
class ScriptedLine : public RunPort {
public:
    ScriptedLine(const LineScript& script, SessionClock& clock)
        : script_(script), clock_(clock), bus_(script.inverters), born_(clock.now())
    {}

    PortOpenResult open(const PortAddress&) override
    {
        open_ = true;
        return PortOpenResult::Ok;
    }
    bool isOpen() const override { return open_; }
    void close() override { open_ = false; }
    PortStatus status() const override
    {
        if (lost_)
            return {PortStatus::Reason::Lost, "closed by the other side"};
        return problem_.empty() ? PortStatus{} : PortStatus{PortStatus::Reason::WriteCutShort, problem_};
    }
    void beginRun() override {}
    std::vector<std::string> takeNotes() override
    {
        std::vector<std::string> notes;
        if (!script_.portNote.empty())
            notes.push_back(script_.portNote);
        script_.portNote.clear();
        return notes;
    }
    std::uint32_t queuedByteCount() override
    {
        arrive();
        return static_cast<std::uint32_t>(queue_.size());
    }
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& kept) override
    {
        arrive();
        const std::size_t n = std::min<std::size_t>(count, queue_.size());
        kept = static_cast<std::uint32_t>(std::min<std::size_t>(n, RX_SCRATCH_SIZE));
        std::copy(queue_.begin(), queue_.begin() + kept, buffer);
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<long>(n));
        return true;
    }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        const Bytes frame(bytes, bytes + count);
        const auto now = clock_.now();
        problem_.clear();
        if (lost_)
            return;
        if (frame[1] == FUNCTION_WRITE_SINGLE_REGISTER && script_.cutShortWrites > 0) {
            --script_.cutShortWrites;
            problem_ = "not sent: 0 of 8 bytes went out within the frame's line time";
            return;
        }
        if (script_.echo) {
            Bytes echo = script_.glitch;
            echo.insert(echo.end(), frame.begin(), frame.end());
            if (script_.noisyEchoes > 0) {
                --script_.noisyEchoes;
                echo.insert(echo.begin() + static_cast<long>(script_.glitch.size()) + 4, 0x5A);
            }
            due_.emplace(now + Ms(script_.echoDelayMs), echo);
        }
        auto at = now;
        for (const ReplyChunk& chunk : answer(frame)) {
            at += Ms(chunk.delayMs);
            due_.emplace(at, chunk.bytes);
            if (script_.closeAfterAnswer && closeAt_ == Clock::time_point{})
                closeAt_ = at;
        }
    }
    bool waitForInput(Ms timeout) override
    {
        const auto until = clock_.now() + timeout;
        const auto next = due_.empty() ? until : std::min(until, due_.begin()->first);
        clock_.sleepUntil(next);
        arrive();
        return !queue_.empty() || lost_;
    }

private:
    std::vector<ReplyChunk> answer(const Bytes& frame)
    {
        const auto ms = std::chrono::duration_cast<Ms>(clock_.now() - born_).count();
        std::vector<ReplyChunk> reply = bus_.handleFrame(frame, static_cast<std::uint64_t>(ms)).reply;
        const bool write = frame[1] == FUNCTION_WRITE_SINGLE_REGISTER;
        if (reply.empty())
            return reply;
        if (!write) {
            if (script_.readException == 0)
                return reply;
            Bytes exception = {frame[0], static_cast<std::uint8_t>(frame[1] | EXCEPTION_FLAG),
                               script_.readException};
            AppendCheck(exception);
            return {ReplyChunk{reply.front().delayMs, exception}};
        }
        std::uint8_t code = script_.acknowledgeEvery;
        if (script_.refuseFirst != 0 && !refused_) {
            code = script_.refuseFirst;
            refused_ = true;
        }
        if (code == 0)
            return reply;
        Bytes exception = {frame[0], static_cast<std::uint8_t>(frame[1] | EXCEPTION_FLAG), code};
        AppendCheck(exception);
        return {ReplyChunk{reply.front().delayMs, exception}};
    }
    void arrive()
    {
        const auto now = clock_.now();
        while (!due_.empty() && due_.begin()->first <= now) {
            queue_.insert(queue_.end(), due_.begin()->second.begin(), due_.begin()->second.end());
            due_.erase(due_.begin());
        }
        if (closeAt_ != Clock::time_point{} && closeAt_ <= now)
            lost_ = true;
    }

    LineScript script_;
    SessionClock& clock_;
    VirtualInverter bus_;
    const Clock::time_point born_;
    bool open_ = false;
    bool refused_ = false;
    bool lost_ = false;
    Clock::time_point closeAt_{};
    std::string problem_;
    std::multimap<Clock::time_point, Bytes> due_;
    std::vector<std::uint8_t> queue_;
};

LineScript Line(std::vector<std::uint8_t> present, unsigned replyDelayMs = 0)
{
    LineScript s;
    s.inverters.addresses = std::move(present);
    s.inverters.replyDelayMs = replyDelayMs;
    return s;
}
LineScript Echoing(LineScript s, unsigned delayMs = 0, Bytes glitch = {})
{
    s.echo = true;
    s.echoDelayMs = delayMs;
    s.glitch = std::move(glitch);
    return s;
}
LineScript Answering(LineScript s, SimFault fault, std::uint8_t code)
{
    s.inverters.fault = fault;
    s.inverters.exceptionCode = code;
    return s;
}

const char* const OK = "!!--Clear OK--!!\n";
const char* const FAIL = "!!--Operation Fail--!!\n";

TEST(ClearSession, WhatTheUserSeesOnLinesAsTheyCome)
{
    const Bytes glitch = {0x00};
    LineScript acknowledging = Line({1});
    acknowledging.acknowledgeEvery = 0x05;
    LineScript busyOnce = Line({1});
    busyOnce.refuseFirst = 0x06;
    LineScript storedLate = Line({1});
    storedLate.inverters.applyDelayMs = 100;
    LineScript putBack = Line({1});
    putBack.inverters.revertAfterMs = 150;
    LineScript neverStored = Line({1});
    neverStored.inverters.ignoreWrite = true;
    const LineScript fc16Only = Answering(Line({1}), SimFault::Fc16Only, 0);
    auto noisy = [](LineScript s, unsigned echoes) {
        s.noisyEchoes = echoes;
        return s;
    };
    auto closing = [](LineScript s) {
        s.closeAfterAnswer = true;
        return s;
    };
    auto cutShort = [](LineScript s, unsigned writes) {
        s.cutShortWrites = writes;
        return s;
    };
    auto readsAnswered = [](LineScript s, std::uint8_t code) {
        s.readException = code;
        return s;
    };
    LineScript converter = Line({1});
    converter.portNote = "the converter keeps 9600 8N1, not 19200 8E1 as asked";
    struct Row {
        const char* what;
        std::vector<std::string> args;
        LineScript line;
        // stdout matches this pattern whole; stderr holds each of `said`.
        std::string out;
        std::vector<std::string> said;
        int status;
        // stderr is a terminal and stdout goes to it too: `out` is all of it.
        bool terminal = false;
        std::size_t (*columns)() = nullptr;
    };
    const std::string wipe = "\r +\r";
    const Row rows[] = {
        {"a line that does not echo", {}, Line({1}), OK, {}, 0},
        {"glitch and echo, no inverter", {}, Echoing(Line({}), 0, glitch), FAIL, {"the line echoes"}, 1},
        {"glitch, echo, refusal", {}, Echoing(Answering(Line({1}), SimFault::Exception, 2), 0, glitch), FAIL,
         {"refused the write: exception 02 (illegal data address)"}, 1},
        {"glitch, echo, reply", {}, Echoing(Line({1}), 0, glitch), OK, {"the line echoes"}, 0},
        {"late echo, no inverter, verify", {"--verify"}, Echoing(Line({}), 45), FAIL, {}, 1},
        {"late echo after the reply", {"--verify"}, Echoing(Line({1}), 45),
         "!!--Clear OK--!!\nverified: register 0x004A = 0\n", {}, 0},
        {"echo learned once for a batch", {"--address", "1,2"}, Echoing(Line({1})),
         "1: !!--Clear OK--!!\n2: !!--Operation Fail--!!\n", {"the line echoes"}, 1},
        {"--echo on a line that echoes", {"--echo"}, Echoing(Line({})), FAIL, {}, 1},
        {"acknowledged, read back 0", {}, acknowledging, OK,
         {"took the write with exception 05 (acknowledge) and a read back found register 0x004A = 0"}, 0},
        {"busy first, then cleared", {}, busyOnce, OK, {"inverter 1 is busy: exception 06"}, 0},
        {"a gateway's exception", {}, Answering(Line({1}), SimFault::Exception, 0x0B), FAIL,
         {"the gateway answered for inverter 1: exception 0B"}, 1},
        {"0x10 only, --function auto", {"--function", "auto"}, fc16Only, OK,
         {"inverter 1 does not take function 0x06; written with 0x10"}, 0},
        {"0x10 only, 0x06 sent", {}, fc16Only, FAIL,
         {"exception 01 (illegal function)\nkorvanel-clear: an inverter that takes only function 0x10 answers 0x06 so: "
          "give --function auto"},
         1},
        {"0x10 only, --function 16", {"--function", "16"}, fc16Only, OK, {}, 0},
        {"stored late, settled", {"--verify", "--settle", "0.3"}, storedLate,
         "!!--Clear OK--!!\nverified: register 0x004A = 0 after 0\\.1 s, held for 0.3 s\n", {}, 0},
        {"put back", {"--verify", "--settle", "0.5"}, putBack,
         "!!--Clear OK--!!\nnot verified: register 0x004A = 0 after 0\\.0 s, back to 4660 \\(0x1234\\) after "
         "0\\.1 s\n",
         {}, 1},
        {"never stored", {"--verify", "--settle", "0.2"}, neverStored,
         "!!--Clear OK--!!\nnot verified: register 0x004A still 4660 \\(0x1234\\) after 0.2 s\n", {}, 1},
        {"JSON: verified", {"--verify", "--json"}, Line({1}),
         "\\{\"address\": 1, \"outcome\": \"cleared\", \"exception\": null, \"requests\": 3, \"elapsed_ms\": "
         "[0-9]+, \"value\": 0, \"verified\": true, \"read\": \\{\"outcome\": \"value\", \"exception\": null\\}, "
         "\"settings\": \"9600 8N1\", \"notes\": "
         "\\[\"register 0x004A = 4660 \\(0x1234\\) before the clear\"\\]\\}\n"
         "\\{\"summary\": true, \"mode\": \"verify\", \"addresses\": 1, \"succeeded\": 1, \"elapsed_ms\": "
         "[0-9]+, \"settings\": \\[\"9600 8N1\"\\], \"exit_status\": 0, \"rs485\": null, \"low_latency\": null\\}\n",
         {}, 0},
        {"JSON: refused", {"--json"}, Answering(Line({1}), SimFault::Exception, 2),
         "\\{\"address\": 1, \"outcome\": \"refused\", \"exception\": \\{\"code\": 2, \"meaning\": "
         "\"illegal data address\"\\}, \"requests\": 2, .*\"notes\": \\[\"inverter 1 refused the write: "
         "exception 02 \\(illegal data address\\)\"\\]\\}\n\\{\"summary\": true, \"mode\": \"clear\", "
         "\"addresses\": 1, \"succeeded\": 0, .*\"exit_status\": 1, .*\\}\n",
         {}, 1},
        {"noise inside the probe's echo, no inverter", {}, noisy(Echoing(Line({})), 1), FAIL,
         {"the line echoes"}, 1},
        {"noise inside the probe's echo, refusal", {}, noisy(Echoing(Answering(Line({1}), SimFault::Exception, 2)), 1),
         FAIL, {"refused the write: exception 02"}, 1},
        {"noise inside every echo, no inverter", {}, noisy(Echoing(Line({})), 99), FAIL,
         {"it is judged as if it echoed"}, 1},
        {"the reply, then the peer hangs up", {"--no-echo"}, closing(Line({1})), OK,
         {"after the last answer: closed by the other side"}, 0},
        {"hung up before the second address", {"--address", "1,2", "--json", "--no-echo"}, closing(Line({1, 2})),
         "\\{\"address\": 1, \"outcome\": \"cleared\".*\\}\n"
         "\\{\"address\": 2, \"outcome\": \"lost\".*\"notes\": \\[\"COM Port Lost: closed by the other side\"\\]\\}\n"
         "\\{\"summary\": true, \"mode\": \"clear\", \"addresses\": 2, \"succeeded\": 1, .*\"exit_status\": 2, .*\\}\n",
         {"COM Port Lost: closed by the other side"}, 2},
        {"read back busy", {"--verify", "--no-echo"}, readsAnswered(Line({1}), 6),
         "!!--Clear OK--!!\nnot verified: inverter 1 is busy: exception 06 \\(server device busy\\)\n", {}, 1},
        {"read back refused, JSON", {"--verify", "--json", "--no-echo"}, readsAnswered(Line({1}), 2),
         ".*\"verified\": false, \"read\": \\{\"outcome\": \"refused\", \"exception\": \\{\"code\": 2, [\\s\\S]*",
         {}, 1},
        {"a busy inverter in a scan", {"--scan", "1-2"}, readsAnswered(Line({2}), 6),
         "2: busy: exception 06 \\(server device busy\\)\n", {"2 addresses asked, 1 answered (1 busy)"}, 0},
        {"three writes cut short on an echoing line, then the reply", {"--json"}, cutShort(Echoing(Line({1})), 3),
         "\\{\"address\": 1, \"outcome\": \"cleared\", \"exception\": null, \"requests\": 2, .*\n.*\n", {}, 0},
        {"a converter's own word", {}, converter, OK, {"korvanel-clear: the converter keeps 9600 8N1"}, 0},
        {"a slow inverter in a scan", {"--scan", "1-3", "--period", "100"}, Line({2}, 150),
         "2: 0x004A = 4660 \\(0x1234\\), late: 150 ms; a longer --period finds it in time\n",
         {"scan: 3 addresses asked, 1 answered"}, 0},
        {"a scan on a terminal", {"--scan", "1-5", "--period", "100"}, Line({2}),
         "\rscan: 1/5 asked, 0 answered, 0 s[^\\n]*" + wipe + "2: 0x004A = 4660 \\(0x1234\\)\n\rscan: [3-5]/5 asked, 1 answered, [^\\n]*" +
             wipe + "scan: 5 addresses asked, 1 answered, [0-9.]+ s\n",
         {}, 0, true},
        {"a clear of three on a terminal", {"--address", "1-3", "--period", "100"}, Line({1, 3}),
         "\rclear: 0/3, 0 cleared, 0 failed, 0 s[^\\n]*" + wipe + "1: !!--Clear OK--!!\n\rclear: 1/3, 1 cleared, 0 failed, [^\\n]*" +
             wipe + "2: !!--Operation Fail--!!\n[\\s\\S]*3: !!--Clear OK--!!\n(" + wipe + ")?",
         {}, 1, true},
        {"a scan on a terminal 14 columns wide", {"--scan", "1-5", "--period", "100"}, Line({2}),
         "\rscan: 1/5 ask" + wipe + "2: 0x004A = 4660 \\(0x1234\\)\n(\rscan: [3-5]/5 ask)+" + wipe +
             "scan: 5 addresses asked, 1 answered, [0-9.]+ s\n",
         {}, 0, true, []() -> std::size_t { return 14; }},
        {"one address on a terminal", {}, Line({1}), OK, {}, 0, true},
        {"--json on a terminal", {"--scan", "1-3", "--json"}, Line({2}), "\\{[^\r]*", {}, 0, true},
        {"--trace on a terminal", {"--address", "1-2", "--trace"}, Line({1}), "[^\r]*", {}, 1, true},
    };
    for (const Row& row : rows) {
        std::vector<std::string> args = {"--port", "scripted"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        if (std::find(args.begin(), args.end(), "--period") == args.end())
            args.insert(args.end(), {"--period", "30"});
        const ParsedClearOptions parsed = ParseClearOptions(args);
        ASSERT_TRUE(parsed.ok) << row.what << ": " << parsed.error;
        SteppedClock clock;
        ScriptedLine line(row.line, clock);
        std::ostringstream out, separate;
        std::ostringstream& err = row.terminal ? out : separate;
        ClearSessionIo io{out, err, clock.now(), clock, row.terminal, row.columns};
        const auto started = Clock::now();
        const int status = RunClearSession(parsed.options, line, io);
        const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
        EXPECT_TRUE(std::regex_match(out.str(), std::regex(row.out))) << row.what << ":\n" << out.str() << err.str();
        for (const std::string& text : row.said)
            EXPECT_NE(err.str().find(text), std::string::npos) << row.what << ":\n" << err.str();
        EXPECT_EQ(status, row.status) << row.what << ":\n" << err.str();
        // Drawn only where a row expects it.
        if (row.out.find('\r') == std::string::npos) {
            EXPECT_EQ(err.str().find('\r'), std::string::npos) << row.what << ":\n" << err.str();
        }
        std::printf("%-36s %.2f s\n", row.what, seconds);
    }
}

} // namespace
} // namespace korvanel
