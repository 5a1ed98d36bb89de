// Feeds arbitrary byte streams to whole runs: each input is an address, a
// pattern of reads that complete or stay pending, and the bytes that arrive
// before each tick. Every input is run under each reply rule and request:
// the dialog's rule on a Clear, and the field rule on a Clear and on a read,
// with and without the echo setting. The verdict of each check is compared
// with a second reading of the rules written here, over an independent
// bit-by-bit CRC:
//  - dialog: success exactly when the gathered bytes begin with a frame of
//    function 0x06 with a valid check;
//  - field: the run's window (every byte gathered since its first request)
//    read frame by frame: a Clear is answered by a copy of its request beyond
//    one per send on an echoing line, a read by its reply (after exception
//    05 to a write, only a read of 0 counts); a refusing exception ends the
//    run at once and outweighs a copy in the same window, 06/0A/0B are
//    skipped; a broadcast is never judged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "clear_run.h"

namespace {

using korvanel::ClearRun;

std::uint16_t BitwiseCrc(const std::uint8_t* p, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : static_cast<std::uint16_t>(crc >> 1);
    }
    return crc;
}

using Bytes = std::vector<std::uint8_t>;

bool CheckAt(const Bytes& b, std::size_t at, std::size_t length)
{
    const std::uint16_t crc = BitwiseCrc(b.data() + at, length - 2);
    return b[at + length - 2] == (crc & 0xFF) && b[at + length - 1] == (crc >> 8);
}

// What the inverter side would call a valid reply at the head of `bytes`.
bool BeginsWithValidReply(const Bytes& bytes)
{
    return bytes.size() >= 8 && bytes[1] == 0x06 && CheckAt(bytes, 0, 8);
}

Bytes Request(std::uint8_t address, bool read)
{
    Bytes r = {address, static_cast<std::uint8_t>(read ? 0x03 : 0x06), 0x00, 0x4A, 0x00,
               static_cast<std::uint8_t>(read ? 0x01 : 0x00)};
    const std::uint16_t crc = BitwiseCrc(r.data(), 6);
    r.push_back(static_cast<std::uint8_t>(crc & 0xFF));
    r.push_back(static_cast<std::uint8_t>(crc >> 8));
    return r;
}

enum class Frame { None, Reply, Exception, Acknowledge };

// Our inverter's frame starting at `at`, as a master that knows the request
// would read it.
Frame FrameAt(const Bytes& b, std::size_t at, const Bytes& request)
{
    const std::size_t left = b.size() - at;
    if (left >= 5 && b[at] == request[0] && b[at + 1] == (request[1] | 0x80) && CheckAt(b, at, 5))
        return Frame::Exception;
    if (request[1] == 0x06 && left >= 8 && std::equal(request.begin(), request.end(), b.begin() + at))
        return Frame::Reply;
    if (request[1] == 0x03 && left >= 7 && b[at] == request[0] && b[at + 1] == 0x03 && b[at + 2] == 2 &&
        CheckAt(b, at, 7))
        return Frame::Reply;
    return Frame::None;
}

// The window as a master that knows the rules would read it.
Frame WindowOracle(const Bytes& w, const Bytes& request, bool echo, unsigned sends, bool acknowledged)
{
    unsigned copies = 0;
    bool readSeen = false;
    bool copyTaken = false;
    unsigned value = 0;
    for (std::size_t at = 0; at < w.size();) {
        const std::size_t left = w.size() - at;
        if (left >= request.size() && std::equal(request.begin(), request.end(), w.begin() + at)) {
            ++copies;
            // A copy can be an echo: an exception anywhere in the window
            // still outweighs it.
            copyTaken = copyTaken || (request[1] == 0x06 && copies > (echo ? sends : 0u));
            at += request.size();
            continue;
        }
        if (FrameAt(w, at, request) == Frame::Exception) {
            const std::uint8_t code = w[at + 2];
            if (code == 0x06 || code == 0x0A || code == 0x0B || (code == 0x05 && request[1] == 0x03)) {
                at += 5;
                continue;
            }
            return code == 0x05 ? Frame::Acknowledge : Frame::Exception;
        }
        if (request[1] == 0x03 && FrameAt(w, at, request) == Frame::Reply) {
            readSeen = true;
            value = static_cast<unsigned>(w[at + 3] << 8 | w[at + 4]);
            at += 7;
            continue;
        }
        ++at;
    }
    if (copyTaken)
        return Frame::Reply;
    if (!readSeen)
        return Frame::None;
    return !acknowledged || value == 0 ? Frame::Reply : Frame::None;
}

struct Mode {
    korvanel::ReplyRule rule;
    bool read;
    bool echo;
};

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "tick_fuzz: %s\n", what);
    std::abort();
}

class FuzzOps : public korvanel::ClearTickOps, public korvanel::TickPort {
public:
    explicit FuzzOps(ClearRun& run) : run_(run) {}

    std::vector<std::uint8_t> arriving;
    bool completes = true;
    std::uint32_t address = 1;
    int tick = 0;
    int lastWriteTick = 0;
    std::vector<std::string> shown;
    std::vector<std::vector<std::uint8_t>> writes;

    korvanel::TickPort& port() override { return *this; }
    std::uint8_t* rxScratch() override { return scratch_; }
    std::uint32_t queuedByteCount() override { return static_cast<std::uint32_t>(arriving.size()); }
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& kept) override
    {
        if (count != arriving.size())
            Fail("read count differs from the queued count");
        if (!completes)
            return false;
        kept = count < korvanel::RX_SCRATCH_SIZE ? count : static_cast<std::uint32_t>(korvanel::RX_SCRATCH_SIZE);
        if (kept > 0)
            std::memcpy(buffer, arriving.data(), kept);
        return true;
    }
    bool exchangeFieldsFromControls() override { return true; }
    std::uint32_t inverterAddress() const override { return address; }
    void setResultText(const std::string&) override {}
    void exchangeFieldsToControls() override {}
    void StopRun() override
    {
        run_.setState(korvanel::Idle);
        run_.txLength = 0;
    }
    void showResult(const std::string& text) override { shown.push_back(text); }
    void writeFrame(const std::uint8_t* bytes, std::uint32_t count) override
    {
        writes.emplace_back(bytes, bytes + count);
        lastWriteTick = tick;
    }

private:
    ClearRun& run_;
    std::uint8_t scratch_[korvanel::RX_SCRATCH_SIZE] = {};
};


void RunOnce(const std::uint8_t* data, std::size_t size, const Mode& mode)
{
    const bool field = mode.rule == korvanel::ReplyRule::Field;
    ClearRun run;
    run.replyRule = mode.rule;
    run.requestKind = mode.read ? korvanel::RequestKind::ReadRegister : korvanel::RequestKind::ClearWrite;
    run.echo.learn(mode.echo ? korvanel::LineEcho::Echoes : korvanel::LineEcho::NoEcho);
    FuzzOps ops(run);
    ops.address = data[0];
    Bytes request = Request(data[0], mode.read);
    const Bytes readBack = Request(data[0], true);
    // The field rule's window and what the oracle needs to read it.
    Bytes window;
    unsigned sends = 0;
    bool acknowledged = false;
    const std::uint8_t pendingMask = data[1];
    std::size_t pos = 2;

    run.setState(korvanel::Armed);
    bool ended = false;
    for (int tick = 1; tick <= 10; ++tick) {
        // Each tick's arrival: a length byte, then that many bytes, cycled
        // from the input when it runs short. Lengths from 200 up stand for
        // floods of up to 440 bytes, beyond the 256-byte read buffer.
        std::size_t length = 0;
        if (pos < size) {
            length = data[pos++];
            if (length >= 200)
                length = (length - 200) * 8;
        }
        ops.arriving.clear();
        for (std::size_t i = 0; i < length && size > 2; ++i) {
            if (pos >= size)
                pos = 2;
            ops.arriving.push_back(data[pos++]);
        }
        ops.completes = ((pendingMask >> (tick % 8)) & 1) == 0;

        const std::uint8_t stateBefore = run.state();
        const std::size_t shownBefore = ops.shown.size();
        const std::uint8_t retriesBefore = run.retryCount;
        const std::size_t writesBefore = ops.writes.size();
        ops.tick = tick;
        korvanel::OnClearTick(run, ops);

        if (run.rxCount > korvanel::RX_HALF_SIZE)
            Fail("gathered more than the receive half holds");
        const bool endedNow = ops.shown.size() > shownBefore;
        const bool succeededNow = endedNow && ops.shown.back() == korvanel::TEXT_CLEAR_OK;
        const bool judged = stateBefore == korvanel::Waiting && ops.completes;
        if (field && judged) {
            const std::size_t kept = std::min<std::size_t>(ops.arriving.size(), korvanel::RX_SCRATCH_SIZE);
            const std::size_t room = korvanel::REPLY_WINDOW_LIMIT - std::min(window.size(), korvanel::REPLY_WINDOW_LIMIT);
            window.insert(window.end(), ops.arriving.begin(), ops.arriving.begin() + static_cast<long>(std::min(kept, room)));
        }
        // The engine keeps the first 180 bytes of what it reads.
        const Bytes gathered(ops.arriving.begin(),
                             ops.arriving.begin() +
                                 static_cast<long>(std::min<std::size_t>(ops.arriving.size(), korvanel::RX_HALF_SIZE)));
        if (!field) {
            const bool validReply = judged && BeginsWithValidReply(gathered);
            if (succeededNow && !validReply)
                Fail("dialog: success reported without a valid reply");
            if (validReply && !succeededNow)
                Fail("dialog: a valid reply was not accepted");
        } else {
            const bool broadcast = data[0] == 0;
            const Frame f = judged && !broadcast ? WindowOracle(window, request, mode.echo, sends, acknowledged)
                                                 : Frame::None;
            if (f == Frame::Acknowledge)
                acknowledged = true;
            if (succeededNow != (f == Frame::Reply))
                Fail(succeededNow ? "field: success without our reply" : "field: our reply was not accepted");
            // The seventh check ends the run whatever it found.
            const bool failedNow = endedNow && !succeededNow;
            if (f == Frame::Exception && !failedNow)
                Fail("field: an exception did not end the run");
            if (failedNow && retriesBefore < korvanel::MAX_RETRY_COUNT && f != Frame::Exception)
                Fail("field: run ended early without an exception");
        }
        if (endedNow)
            ended = true;
        // Every frame sent is the request for the typed address, or after an
        // acknowledge the read that proves it.
        for (std::size_t i = writesBefore; i < ops.writes.size(); ++i) {
            if (ops.writes[i] != request) {
                if (!acknowledged || ops.writes[i] != readBack || request == readBack)
                    Fail("a frame other than the request was sent");
                request = readBack;
                sends = 0;
            }
            ++sends;
        }
    }
    if (ops.writes.size() > 4)
        Fail("more than four requests in one run");
    if (ended && ops.shown.size() != 1)
        Fail("a run ended more than once");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    using korvanel::ReplyRule;
    const Mode modes[] = {
        {ReplyRule::Dialog, false, false}, {ReplyRule::Field, false, false}, {ReplyRule::Field, false, true},
        {ReplyRule::Field, true, false},   {ReplyRule::Field, true, true},
    };
    for (const Mode& mode : modes)
        RunOnce(data, size, mode);
    return 0;
}
