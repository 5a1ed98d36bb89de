// Feeds arbitrary byte streams to whole Clear runs: each input is an
// address, a pattern of reads that complete or stay pending, and the bytes
// that arrive before each tick. Any success must come from a tick whose
// gathered bytes begin with a valid Write Single Register reply, checked
// here by an independent bit-by-bit CRC; every such tick must succeed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
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

// What the inverter side would call a valid reply at the head of `bytes`.
bool BeginsWithValidReply(const std::vector<std::uint8_t>& bytes)
{
    if (bytes.size() < 8 || bytes[1] != 0x06)
        return false;
    const std::uint16_t crc = BitwiseCrc(bytes.data(), 6);
    return bytes[6] == (crc & 0xFF) && bytes[7] == (crc >> 8);
}

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "tick_fuzz: %s\n", what);
    std::abort();
}

class FuzzOps : public korvanel::ClearTickOps {
public:
    explicit FuzzOps(ClearRun& run) : run_(run) {}

    std::vector<std::uint8_t> arriving;
    bool completes = true;
    std::uint32_t address = 1;
    std::vector<std::string> shown;
    std::vector<std::vector<std::uint8_t>> writes;

    std::uint8_t* rxScratch() override { return scratch_; }
    std::uint32_t queuedByteCount() override { return static_cast<std::uint32_t>(arriving.size()); }
    void prepareWriteEvent() override {}
    bool readQueued(std::uint8_t* buffer, std::uint32_t count, std::uint32_t& kept) override
    {
        if (count != arriving.size())
            Fail("read count differs from the queued count");
        if (!completes)
            return false;
        kept = count < 256 ? count : 256;
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
    }

private:
    ClearRun& run_;
    std::uint8_t scratch_[korvanel::RX_SCRATCH_SIZE] = {};
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    ClearRun run;
    FuzzOps ops(run);
    ops.address = data[0];
    const std::uint8_t pendingMask = data[1];
    std::size_t pos = 2;

    run.setState(korvanel::Armed);
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
        korvanel::OnClearTick(run, ops);

        if (run.rxCount > korvanel::RX_HALF_SIZE)
            Fail("gathered more than the receive half holds");
        const bool succeededNow = ops.shown.size() > shownBefore && ops.shown.back() == korvanel::TEXT_CLEAR_OK;
        const bool validReply = stateBefore == korvanel::Waiting && ops.completes && BeginsWithValidReply(ops.arriving);
        if (succeededNow && !validReply)
            Fail("success reported without a valid reply");
        if (validReply && !succeededNow)
            Fail("a valid reply was not accepted");
    }

    // Every frame sent is the request for the typed address.
    const std::uint8_t head[6] = {data[0], 0x06, 0x00, 0x4A, 0x00, 0x00};
    const std::uint16_t crc = BitwiseCrc(head, 6);
    for (const auto& w : ops.writes) {
        if (w.size() != 8 || std::memcmp(w.data(), head, 6) != 0 || w[6] != (crc & 0xFF) || w[7] != (crc >> 8))
            Fail("a frame other than the request was sent");
    }
    if (ops.writes.size() > 4)
        Fail("more than four requests in one run");
    return 0;
}
