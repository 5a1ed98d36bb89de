// Arbitrary bytes as a Modbus TCP stream, as korvanel-sim's listener and the
// modbus-tcp port read it: fed to MbapReader in chunks of the size the first
// byte picks (TCP may split a stream anywhere), and compared with a second,
// deliberately plain reading of the whole stream at once. Every frame read
// must also survive the trip to an RTU frame and back byte for byte.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "mbap.h"
#include "modbus_crc.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "mbap_fuzz: %s\n", what);
    std::abort();
}

struct Reading {
    std::vector<Bytes> frames;  // each whole ADU as it stood in the stream
    bool malformed = false;
};

// Header by header: protocol 0 and a length of 2 to 254, or the stream is
// unreadable from there on.
Reading ReadByHand(const std::uint8_t* data, std::size_t size)
{
    Reading r;
    std::size_t at = 0;
    while (size - at >= 7) {
        const unsigned protocol = data[at + 2] << 8 | data[at + 3];
        const unsigned length = data[at + 4] << 8 | data[at + 5];
        if (protocol != 0 || length < 2 || length > 254) {
            r.malformed = true;
            break;
        }
        if (size - at < 6 + length)
            break;
        r.frames.emplace_back(data + at, data + at + 6 + length);
        at += 6 + length;
    }
    return r;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::size_t chunk = 1 + data[0] % 16;
    ++data;
    --size;

    const Reading expected = ReadByHand(data, size);
    korvanel::MbapReader reader;
    korvanel::MbapFrame frame;
    std::vector<korvanel::MbapFrame> frames;
    bool malformed = false;
    for (std::size_t at = 0; at < size && !malformed; at += chunk) {
        reader.feed(data + at, at + chunk < size ? chunk : size - at);
        for (;;) {
            const auto result = reader.next(frame);
            if (result == korvanel::MbapReader::Result::Frame) {
                frames.push_back(frame);
                continue;
            }
            malformed = result == korvanel::MbapReader::Result::Malformed;
            break;
        }
    }
    if (malformed != expected.malformed)
        Fail("the reader and the plain reading disagree on a malformed header");
    if (frames.size() != expected.frames.size())
        Fail("the reader and the plain reading found different frame counts");
    for (std::size_t i = 0; i < frames.size(); ++i) {
        const Bytes rtu = korvanel::RtuFromMbap(frames[i]);
        if (!korvanel::HasValidCheck(rtu.data(), rtu.size()))
            Fail("an RTU frame made from a Modbus TCP frame has a bad check");
        const Bytes back = korvanel::MbapFromRtu(frames[i].transactionId, rtu.data(), rtu.size());
        // Protocol 0 is what every frame read had; the rest is carried over.
        if (back != expected.frames[i])
            Fail("a frame did not come back byte for byte through RTU");
    }
    return 0;
}
