#include "modbus_crc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "clear_run.h"

namespace korvanel {
namespace {

struct KnownCheck {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::uint16_t expected;  // wire order: first byte in the high half
};

void PrintTo(const KnownCheck& c, std::ostream* os) { *os << c.name; }

class ModbusCrc16KnownAnswers : public ::testing::TestWithParam<KnownCheck> {};

TEST_P(ModbusCrc16KnownAnswers, MatchesReferenceInBothHalves)
{
    const KnownCheck& c = GetParam();
    FrameBuffer frame;
    // The empty row's data() may be null, which memcpy must not get.
    if (!c.bytes.empty()) {
        std::memcpy(frame.rx(), c.bytes.data(), c.bytes.size());
        std::memcpy(frame.tx(), c.bytes.data(), c.bytes.size());
    }
    const auto length = static_cast<std::uint8_t>(c.bytes.size());
    EXPECT_EQ(ModbusCrc16(frame, 1, length), c.expected);
    EXPECT_EQ(ModbusCrc16(frame, 0, length), c.expected);
    EXPECT_EQ(ModbusCrc16Bytes(c.bytes.data(), c.bytes.size()), c.expected);
}

std::vector<std::uint8_t> Ascii(const std::string& s) { return {s.begin(), s.end()}; }

INSTANTIATE_TEST_SUITE_P(
    Frames, ModbusCrc16KnownAnswers,
    ::testing::Values(
        KnownCheck{"empty", {}, 0xFFFF},
        KnownCheck{"address1", {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00}, 0xA81C},
        KnownCheck{"address2", {0x02, 0x06, 0x00, 0x4A, 0x00, 0x00}, 0xA82F},
        KnownCheck{"address17", {0x11, 0x06, 0x00, 0x4A, 0x00, 0x00}, 0xAA8C},
        KnownCheck{"address247", {0xF7, 0x06, 0x00, 0x4A, 0x00, 0x00}, 0xBC8A},
        KnownCheck{"address255", {0xFF, 0x06, 0x00, 0x4A, 0x00, 0x00}, 0xBDC2},
        // The standard's check value 0x4B37, bytes exchanged.
        KnownCheck{"check_string", Ascii("123456789"), 0x374B},
        // A whole frame including its own check leaves a zero remainder.
        KnownCheck{"frame_with_check", {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C}, 0x0000}),
    [](const ::testing::TestParamInfo<KnownCheck>& info) { return std::string(info.param.name); });

TEST(ModbusCrc16, EachHalfIgnoresTheOther)
{
    const std::uint8_t request[] = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00};
    FrameBuffer frame;
    std::memcpy(frame.tx(), request, sizeof request);
    std::memset(frame.rx(), 0x5A, RX_HALF_SIZE);
    EXPECT_EQ(ModbusCrc16(frame, 0, 6), 0xA81C);

    FrameBuffer other;
    std::memcpy(other.rx(), request, sizeof request);
    std::memset(other.tx(), 0xA5, TX_HALF_SIZE);
    EXPECT_EQ(ModbusCrc16(other, 1, 6), 0xA81C);
    EXPECT_NE(ModbusCrc16(other, 0, 6), 0xA81C);
}

TEST(ModbusCrc16, LengthBeyondAHalfStopsAtItsEnd)
{
    FrameBuffer frame;
    std::memset(frame.tx(), 0x77, TX_HALF_SIZE);
    const std::uint16_t wholeHalf = ModbusCrc16(frame, 1, RX_HALF_SIZE);
    EXPECT_EQ(ModbusCrc16(frame, 1, 255), wholeHalf);
    EXPECT_EQ(ModbusCrc16(frame, 0, 255), ModbusCrc16(frame, 0, TX_HALF_SIZE));
}

TEST(ModbusCrc16, ProcessWideFormReadsTheSharedRecord)
{
    FrameBuffer& frame = TheClearRun().frame;
    const FrameBuffer saved = frame;
    BuildClearRequest(frame, 2);
    EXPECT_EQ(ModbusCrc16(0, 6), 0xA82F);
    frame = saved;
}

} // namespace
} // namespace korvanel
