// --settle's judgement of the reads after a write, and the --json lines.
#include "clear_json.h"
#include "settle_watch.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace korvanel {
namespace {

TEST(SettleWatch, ReadsUntilTheSpanHasPassedOrTheValueComesBack)
{
    struct Row {
        const char* name;
        double settle;
        std::vector<std::pair<double, std::uint16_t>> reads;  // seconds since the write, value
        std::size_t readsTaken;
        bool verified;
        const char* line;
    };
    const Row rows[] = {
        {"0 at once, held", 2, {{0.1, 0}, {1.1, 0}, {2.1, 0}, {3.1, 0}}, 3, true,
         "verified: register 0x004A = 0 after 0.1 s, held for 2 s"},
        {"stored late, held", 10, {{0.2, 0x1234}, {1.4, 0}, {5, 0}, {10, 0}}, 4, true,
         "verified: register 0x004A = 0 after 1.4 s, held for 10 s"},
        {"put back", 10, {{0.2, 0}, {0.6, 0}, {1.0, 0x1234}, {1.4, 0}}, 3, false,
         "not verified: register 0x004A = 0 after 0.2 s, back to 4660 (0x1234) after 1.0 s"},
        {"never stored", 2.5, {{0.2, 0x1234}, {1.2, 0x1234}, {2.6, 0x1234}, {3.6, 0}}, 3, false,
         "not verified: register 0x004A still 4660 (0x1234) after 2.5 s"},
    };
    for (const Row& row : rows) {
        SettleWatch watch(row.settle);
        std::size_t taken = 0;
        for (const auto& read : row.reads) {
            ++taken;
            if (!watch.read(read.second, read.first))
                break;
        }
        EXPECT_EQ(taken, row.readsTaken) << row.name;
        EXPECT_TRUE(watch.over()) << row.name;
        EXPECT_EQ(watch.verified(), row.verified) << row.name;
        EXPECT_EQ(watch.line(), row.line) << row.name;
    }
}

TEST(ClearJson, EveryKeyInOrderNullsWhereNothingIsKnown)
{
    AddressRecord refused;
    refused.address = 7;
    refused.outcome = "refused";
    refused.exceptionCode = 2;
    refused.requests = 1;
    refused.elapsedMs = 31;
    refused.settings = "19200 8E1";
    refused.notes = {"the line echoes", "a \"quoted\"\tnote"};
    EXPECT_EQ(JsonLine(refused),
              "{\"address\": 7, \"outcome\": \"refused\", \"exception\": {\"code\": 2, \"meaning\": \"illegal data "
              "address\"}, \"requests\": 1, \"elapsed_ms\": 31, \"value\": null, \"verified\": null, \"settings\": "
              "\"19200 8E1\", \"notes\": [\"the line echoes\", \"a \\\"quoted\\\"\\u0009note\"]}");
    AddressRecord verified;
    verified.outcome = "cleared";
    verified.hasValue = true;
    verified.hasVerified = true;
    verified.verified = true;
    EXPECT_NE(JsonLine(verified).find("\"value\": 0, \"verified\": true"), std::string::npos);
    SummaryRecord summary{"scan", 10, 2, 3100, {"9600 8N1", "19200 8E1"}, 0};
    EXPECT_EQ(JsonLine(summary), "{\"summary\": true, \"mode\": \"scan\", \"addresses\": 10, \"succeeded\": 2, "
                                 "\"elapsed_ms\": 3100, \"settings\": [\"9600 8N1\", \"19200 8E1\"], "
                                 "\"exit_status\": 0}");
}

} // namespace
} // namespace korvanel
