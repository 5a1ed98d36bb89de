#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_port.h"
#include "hex_bytes.h"

namespace korvanel {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text)
{
    Bytes out;
    for (std::size_t i = 0; i + 1 < text.size(); i += 3)
        out.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    return out;
}

struct CutCase {
    const char* name;
    std::vector<std::string> reads;
    // Each piece as "F hex" (a frame) or "J hex" (no frame), then held ones.
    std::vector<std::string> pieces;
};

TEST(CaptureFrameCutter, CutsReadsIntoTheFramesTheRuleReads)
{
    const CutCase cases[] = {
        {"echo behind a glitch byte, then the reply",
         {"00 01 03 00 4A 00 01 A5 DC 01 03 02 12 34 B5 33"},
         {"J 00", "F 01 03 00 4A 00 01 A5 DC", "F 01 03 02 12 34 B5 33"}},
        {"a reply split over two reads is one frame", {"01 06 00 4A", "00 00 A8 1C"},
         {"F 01 06 00 4A 00 00 A8 1C"}},
        // A8 has the exception bit: its three bytes are held for more.
        {"a spoiled check makes no frame", {"01 06 00 4A 00 00 A8 1D"},
         {"J 01 06 00 4A 00", "J 00 A8 1D"}},
        {"exception between noise", {"FF 01 86 02 C3 A1 EE"}, {"J FF", "F 01 86 02 C3 A1", "J EE"}},
        {"half a frame left at the end stands alone", {"01 03 02 12"}, {"J 01 03 02 12"}},
    };
    for (const CutCase& c : cases) {
        FrameCutter cutter;
        std::vector<CapturePiece> got;
        for (const std::string& read : c.reads) {
            const Bytes bytes = Hex(read);
            for (auto& piece : cutter.add(bytes.data(), bytes.size(), {}))
                got.push_back(piece);
        }
        for (auto& piece : cutter.flush())
            got.push_back(piece);
        std::vector<std::string> texts;
        for (const CapturePiece& p : got)
            texts.push_back(std::string(p.framed ? "F " : "J ") +
                            HexBytes(p.bytes.data(), static_cast<std::uint32_t>(p.bytes.size())));
        EXPECT_EQ(texts, c.pieces) << c.name;
    }
}

TEST(CaptureDatagram, IsAQueryToPort502WithAValidHeaderChecksum)
{
    const Bytes frame = Hex("01 06 00 4A 00 00 A8 1C");
    const Bytes d = CaptureDatagram(CaptureDirection::ToInverter, 7, frame.data(), frame.size(), 1);
    std::uint32_t sum = 0;
    for (std::size_t i = 0; i < 20; i += 2)
        sum += static_cast<std::uint32_t>(d[i] << 8 | d[i + 1]);
    EXPECT_EQ((sum & 0xFFFF) + (sum >> 16), 0xFFFFu);
    EXPECT_EQ(Bytes(d.begin() + 12, d.begin() + 24),
              Hex("0A 00 01 01 0A 00 00 07 C0 00 01 F6")); // 10.0.1.1:49152 -> 10.0.0.7:502
    EXPECT_EQ(Bytes(d.begin() + 28, d.end()), frame);
}

} // namespace
} // namespace korvanel
