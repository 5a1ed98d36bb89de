// The --json lines: every key in order, nulls, and text escaped so each
// line stays one JSON object (the session table checks them in use).
#include "clear_json.h"

#include <gtest/gtest.h>

namespace korvanel {
namespace {

TEST(ClearJson, EveryKeyInOrderNullsAndEscapedText)
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
              "address\"}, \"requests\": 1, \"elapsed_ms\": 31, \"value\": null, \"verified\": null, \"read\": null, "
              "\"settings\": \"19200 8E1\", \"notes\": [\"the line echoes\", \"a \\\"quoted\\\"\\tnote\"]}");
    // A port name of bytes that are not UTF-8 keeps the line valid JSON.
    AddressRecord odd;
    odd.notes = {"COM Port Lost: Reading '/dev/tty\xff\xfe': Input/output error"};
    EXPECT_NE(JsonLine(odd).find("\"notes\": [\"COM Port Lost: Reading '/dev/tty\\ufffd\\ufffd'"), std::string::npos)
        << JsonLine(odd);
    // A read back that was not answered with a value says why.
    AddressRecord busy;
    busy.hasVerified = true;
    busy.readOutcome = "busy";
    busy.readException = 6;
    EXPECT_NE(JsonLine(busy).find("\"verified\": false, \"read\": {\"outcome\": \"busy\", \"exception\": "
                                  "{\"code\": 6, \"meaning\": \"server device busy\"}}"),
              std::string::npos)
        << JsonLine(busy);
}

} // namespace
} // namespace korvanel
