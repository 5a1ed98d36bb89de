// The virtual inverter's replies, byte for byte, in each fault mode.
#include "inverter.h"
#include "modbus_crc.h"

#include <gtest/gtest.h>

namespace korvanel {
namespace {

const FrameBytes kRequest1 = {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C};

SimConfig WithFault(SimFault fault)
{
    SimConfig config;
    config.fault = fault;
    return config;
}

TEST(VirtualInverterReplies, EachFaultShapesTheReply)
{
    struct Row {
        const char* name;
        SimFault fault;
        std::vector<ReplyChunk> reply;
        std::uint16_t registerAfter;
    };
    const Row rows[] = {
        {"echo", SimFault::None, {{0, kRequest1}}, 0},
        {"silent", SimFault::Silent, {}, 0x1234},
        {"exception", SimFault::Exception, {{0, {0x01, 0x86, 0x04, 0x43, 0xA3}}}, 0x1234},
        {"bad check", SimFault::BadCheck, {{0, {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0x57, 0x46}}}, 0},
        {"stray byte", SimFault::StrayByte,
         {{0, {0x00, 0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C}}}, 0},
        {"other address", SimFault::OtherAddress,
         {{0, {0x02, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x2F}}}, 0},
        {"split", SimFault::Split, {{0, {0x01, 0x06, 0x00, 0x4A}}, {1500, {0x00, 0x00, 0xA8, 0x1C}}}, 0},
    };
    for (const Row& row : rows) {
        VirtualInverter inverter(WithFault(row.fault));
        const FrameOutcome outcome = inverter.handleFrame(kRequest1);
        ASSERT_EQ(outcome.reply.size(), row.reply.size()) << row.name;
        for (std::size_t i = 0; i < row.reply.size(); ++i) {
            EXPECT_EQ(outcome.reply[i].bytes, row.reply[i].bytes) << row.name;
            EXPECT_EQ(outcome.reply[i].delayMs, row.reply[i].delayMs) << row.name;
        }
        EXPECT_EQ(inverter.holdingRegister(1, 0x004A), row.registerAfter) << row.name;
    }
}

TEST(VirtualInverterReplies, FloodIsJunkThatNeverPassesForAReply)
{
    SimConfig config = WithFault(SimFault::Flood);
    config.floodBytes = 300;
    VirtualInverter inverter(config);
    const FrameOutcome outcome = inverter.handleFrame(kRequest1);
    ASSERT_EQ(outcome.reply.size(), 1u);
    ASSERT_EQ(outcome.reply[0].bytes.size(), 300u);
    EXPECT_NE(outcome.reply[0].bytes[1], 0x06);
}

TEST(VirtualInverterReplies, AnswersOnlyFromTheNthRequest)
{
    SimConfig config;
    config.answerFrom = 3;
    VirtualInverter inverter(config);
    EXPECT_TRUE(inverter.handleFrame(kRequest1).reply.empty());
    EXPECT_TRUE(inverter.handleFrame(kRequest1).reply.empty());
    EXPECT_EQ(inverter.holdingRegister(1, 0x004A), 0x1234);
    EXPECT_EQ(inverter.handleFrame(kRequest1).reply.size(), 1u);
    EXPECT_EQ(inverter.holdingRegister(1, 0x004A), 0);
    EXPECT_EQ(inverter.requestsSeen(), 3u);
}

TEST(VirtualInverterReplies, IgnoresWhatARealSlaveIgnores)
{
    struct Row {
        const char* name;
        FrameBytes frame;
    };
    const Row rows[] = {
        {"another address", {0x02, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x2F}},
        {"bad check", {0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1D}},
        {"too short", {0x01, 0x06, 0x00}},
        {"a stray byte first", {0x00, 0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C}},
    };
    for (const Row& row : rows) {
        VirtualInverter inverter(SimConfig{});
        EXPECT_TRUE(inverter.handleFrame(row.frame).reply.empty()) << row.name;
        EXPECT_EQ(inverter.holdingRegister(1, 0x004A), 0x1234) << row.name;
        EXPECT_EQ(inverter.requestsSeen(), 0u) << row.name;
    }
}

TEST(VirtualInverterReplies, OtherFunctionsForAMaster)
{
    SimConfig config;
    config.addresses = {1, 7};
    VirtualInverter inverter(config);
    struct Row {
        const char* name;
        FrameBytes request;  // without check
        FrameBytes reply;    // without check; empty for none
    };
    const Row rows[] = {
        {"read 0x004A", {0x01, 0x03, 0x00, 0x4A, 0x00, 0x01}, {0x01, 0x03, 0x02, 0x12, 0x34}},
        {"read 0x004A and 0x004B", {0x01, 0x03, 0x00, 0x4A, 0x00, 0x02}, {0x01, 0x03, 0x04, 0x12, 0x34, 0x00, 0x00}},
        {"read a register not held", {0x01, 0x03, 0x01, 0x00, 0x00, 0x01}, {0x01, 0x83, 0x02}},
        {"read across the end of the held block", {0x01, 0x03, 0x00, 0xFF, 0x00, 0x02}, {0x01, 0x83, 0x02}},
        {"write a register not held", {0x01, 0x06, 0x10, 0x00, 0x00, 0x01}, {0x01, 0x86, 0x02}},
        {"write two", {0x07, 0x10, 0x00, 0x10, 0x00, 0x02, 0x04, 0xAB, 0xCD, 0x00, 0x01},
         {0x07, 0x10, 0x00, 0x10, 0x00, 0x02}},
        {"read them back", {0x07, 0x03, 0x00, 0x10, 0x00, 0x02}, {0x07, 0x03, 0x04, 0xAB, 0xCD, 0x00, 0x01}},
        {"read zero registers", {0x01, 0x03, 0x00, 0x00, 0x00, 0x00}, {0x01, 0x83, 0x03}},
        {"read past the end", {0x01, 0x03, 0xFF, 0xFF, 0x00, 0x02}, {0x01, 0x83, 0x02}},
        {"unknown function", {0x01, 0x2B, 0x0E, 0x01, 0x00}, {0x01, 0xAB, 0x01}},
        {"broadcast write", {0x00, 0x06, 0x00, 0x4A, 0x00, 0x05}, {}},
        {"after the broadcast", {0x07, 0x03, 0x00, 0x4A, 0x00, 0x01}, {0x07, 0x03, 0x02, 0x00, 0x05}},
    };
    for (const Row& row : rows) {
        FrameBytes request = row.request;
        AppendCheck(request);
        FrameBytes expected = row.reply;
        if (!expected.empty())
            AppendCheck(expected);
        const FrameOutcome outcome = inverter.handleFrame(request);
        if (expected.empty()) {
            EXPECT_TRUE(outcome.reply.empty()) << row.name;
            continue;
        }
        ASSERT_EQ(outcome.reply.size(), 1u) << row.name;
        EXPECT_EQ(outcome.reply[0].bytes, expected) << row.name;
    }
}

TEST(VirtualInverterReplies, LineFaultsShapeEveryReply)
{
    const FrameBytes read1 = [] {
        FrameBytes f{0x01, 0x03, 0x00, 0x4A, 0x00, 0x01};
        AppendCheck(f);
        return f;
    }();
    const FrameBytes readReply = {0x01, 0x03, 0x02, 0x12, 0x34, 0xB5, 0x33};
    struct Row {
        const char* name;
        SimFault fault;
        std::uint8_t exceptionCode;
        unsigned replyDelayMs;
        FrameBytes junk;
        FrameBytes request;
        std::vector<ReplyChunk> reply;
    };
    const Row rows[] = {
        {"junk before a write reply", SimFault::None, 4, 0, {0xFF, 0x00}, kRequest1,
         {{0, {0xFF, 0x00, 0x01, 0x06, 0x00, 0x4A, 0x00, 0x00, 0xA8, 0x1C}}}},
        {"late write reply", SimFault::None, 4, 2500, {}, kRequest1, {{2500, kRequest1}}},
        {"late read reply", SimFault::None, 4, 700, {}, read1, {{700, readReply}}},
        {"exception code 02 to a write", SimFault::Exception, 0x02, 0, {}, kRequest1,
         {{0, {0x01, 0x86, 0x02, 0xC3, 0xA1}}}},
        {"exception code 06 to a read, late, junk first", SimFault::Exception, 0x06, 300, {0x00}, read1,
         {{300, {0x00, 0x01, 0x83, 0x06, 0xC1, 0x32}}}},
        {"split read: junk with the first half, delay before it", SimFault::Split, 4, 100, {0xAA}, read1,
         {{100, {0xAA, 0x01, 0x03, 0x02}}, {1500, {0x12, 0x34, 0xB5, 0x33}}}},
        {"silent stays silent", SimFault::Silent, 4, 100, {0xAA}, kRequest1, {}},
        {"refuse-read answers a write", SimFault::RefuseRead, 2, 0, {}, kRequest1, {{0, kRequest1}}},
        {"refuse-read refuses a read", SimFault::RefuseRead, 2, 0, {}, read1, {{0, {0x01, 0x83, 0x02, 0xC0, 0xF1}}}},
    };
    for (const Row& row : rows) {
        SimConfig config = WithFault(row.fault);
        config.exceptionCode = row.exceptionCode;
        config.replyDelayMs = row.replyDelayMs;
        config.junkBefore = row.junk;
        VirtualInverter inverter(config);
        const FrameOutcome outcome = inverter.handleFrame(row.request);
        ASSERT_EQ(outcome.reply.size(), row.reply.size()) << row.name;
        for (std::size_t i = 0; i < row.reply.size(); ++i) {
            EXPECT_EQ(outcome.reply[i].bytes, row.reply[i].bytes) << row.name;
            EXPECT_EQ(outcome.reply[i].delayMs, row.reply[i].delayMs) << row.name;
        }
    }
}

TEST(VirtualInverterReplies, IgnoreWriteAcknowledgesAndKeepsTheValue)
{
    SimConfig config;
    config.ignoreWrite = true;
    VirtualInverter inverter(config);
    const FrameOutcome outcome = inverter.handleFrame(kRequest1);
    ASSERT_EQ(outcome.reply.size(), 1u);
    EXPECT_EQ(outcome.reply[0].bytes, kRequest1);
    EXPECT_EQ(inverter.holdingRegister(1, 0x004A), 0x1234);
}

TEST(VirtualInverterReplies, BroadcastIsExecutedByEveryHearingInverterAndAnsweredByNone)
{
    SimConfig config;
    config.addresses = {1, 2, 3, 4};
    config.faultByAddress = {{2, SimFault::Silent}, {3, SimFault::Exception}, {4, SimFault::BadCheck}};
    config.replyDelayMs = 10;
    config.junkBefore = {0xFF};
    VirtualInverter inverter(config);
    FrameBytes broadcast{0x00, 0x06, 0x00, 0x4A, 0x00, 0x00};
    AppendCheck(broadcast);
    EXPECT_TRUE(inverter.handleFrame(broadcast).reply.empty());
    // A deaf inverter hears nothing and a refusing one refuses in silence.
    EXPECT_EQ(inverter.holdingRegister(1, 0x004A), 0);
    EXPECT_EQ(inverter.holdingRegister(2, 0x004A), 0x1234);
    EXPECT_EQ(inverter.holdingRegister(3, 0x004A), 0x1234);
    EXPECT_EQ(inverter.holdingRegister(4, 0x004A), 0);
}

// Write Multiple Registers of 0x004A alone, value 0, as korvanel-clear's
// --function 16 sends it.
const FrameBytes kWrite16 = {0x01, 0x10, 0x00, 0x4A, 0x00, 0x01, 0x02, 0x00, 0x00, 0xA8, 0x3A};

TEST(VirtualInverterReplies, SlowAndForgetfulStorage)
{
    FrameBytes read1{0x01, 0x03, 0x00, 0x4A, 0x00, 0x01};
    AppendCheck(read1);
    struct Row {
        const char* name;
        unsigned applyDelayMs;
        unsigned revertAfterMs;
        FrameBytes write;  // sent at 1000 ms
        // What a read answers at these times.
        std::vector<std::pair<std::uint64_t, std::uint16_t>> reads;
    };
    const Row rows[] = {
        {"at once", 0, 0, kRequest1, {{1000, 0}, {60000, 0}}},
        {"stored 1.5 s late", 1500, 0, kRequest1, {{1000, 0x1234}, {2499, 0x1234}, {2500, 0}, {60000, 0}}},
        {"0x10 stored late", 1500, 0, kWrite16, {{2499, 0x1234}, {2500, 0}}},
        {"put back after 2 s", 0, 2000, kRequest1, {{1000, 0}, {2999, 0}, {3000, 0x1234}, {60000, 0x1234}}},
        {"late and put back", 500, 1000, kWrite16, {{1499, 0x1234}, {1500, 0}, {2499, 0}, {2500, 0x1234}}},
    };
    for (const Row& row : rows) {
        SimConfig config;
        config.applyDelayMs = row.applyDelayMs;
        config.revertAfterMs = row.revertAfterMs;
        VirtualInverter inverter(config);
        const FrameOutcome written = inverter.handleFrame(row.write, 1000);
        ASSERT_EQ(written.reply.size(), 1u) << row.name;
        for (const auto& read : row.reads) {
            const FrameOutcome outcome = inverter.handleFrame(read1, read.first);
            ASSERT_EQ(outcome.reply.size(), 1u) << row.name;
            const FrameBytes& bytes = outcome.reply[0].bytes;
            EXPECT_EQ(bytes[3] << 8 | bytes[4], read.second) << row.name << " at " << read.first << " ms";
        }
    }
}

TEST(VirtualInverterReplies, HexBytesOfJunk)
{
    struct Row {
        const char* text;
        bool ok;
        FrameBytes bytes;
    };
    const Row rows[] = {
        {"FF00", true, {0xFF, 0x00}}, {"ff 00 7e", true, {0xFF, 0x00, 0x7E}}, {"0", false, {}},
        {"F F", false, {}},           {"GG", false, {}},                      {"", false, {}},
    };
    for (const Row& row : rows) {
        FrameBytes bytes;
        EXPECT_EQ(VirtualInverter::ParseHexBytes(row.text, bytes), row.ok) << row.text;
        if (row.ok) {
            EXPECT_EQ(bytes, row.bytes) << row.text;
        }
    }
}

TEST(VirtualInverterReplies, FaultNames)
{
    const char* names[] = {"none", "silent", "exception", "bad-check", "stray-byte",
                           "other-address", "split", "flood", "refuse-read", "fc16-only"};
    for (const char* name : names) {
        SimFault fault;
        EXPECT_TRUE(VirtualInverter::ParseFault(name, fault)) << name;
    }
    SimFault fault;
    EXPECT_FALSE(VirtualInverter::ParseFault("Silent", fault));
    EXPECT_FALSE(VirtualInverter::ParseFault("", fault));
}

} // namespace
} // namespace korvanel
