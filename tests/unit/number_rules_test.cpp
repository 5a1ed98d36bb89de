#include "number_rules.h"

#include <gtest/gtest.h>

#include <string>

namespace korvanel {
namespace {

struct UnsignedCase {
    const char* text;
    bool accepted;
    std::uint32_t value;  // when accepted
};

TEST(NumberRules, UnsignedFieldAcceptsOrRefusesAsTyped)
{
    const UnsignedCase cases[] = {
        {"7", true, 7},
        {" 7 ", true, 7},
        {"\t7\t", true, 7},
        {"+5", true, 5},
        {"0", true, 0},
        {"  0", true, 0},
        {"000", true, 0},
        {"007", true, 7},
        {"4294967295", true, 4294967295u},
        {"4294967296", true, 4294967295u},
        {"99999999999999999999999999999", true, 4294967295u},
        {"-7", false, 0},
        {"-0", false, 0},
        {"7x", false, 0},
        {"7 7", false, 0},
        {"0x10", false, 0},
        {"abc", false, 0},
        {"", false, 0},
        {"   ", false, 0},
        {"+", false, 0},
        {"+0", false, 0},
        {"++5", false, 0},
        {"+-5", false, 0},
        {"7.5", false, 0},
    };
    for (const UnsignedCase& c : cases) {
        std::uint32_t value = 12345;
        EXPECT_EQ(ParseUnsignedField(c.text, value), c.accepted) << '"' << c.text << '"';
        EXPECT_EQ(value, c.accepted ? c.value : 12345u) << '"' << c.text << '"';
    }
}

struct SignedCase {
    const char* text;
    bool accepted;
    std::int32_t value;
};

TEST(NumberRules, SignedFieldAllowsMinusAndClampsBothWays)
{
    const SignedCase cases[] = {
        {"1000", true, 1000},
        {" -250 ", true, -250},
        {"+40", true, 40},
        {"0", true, 0},
        {"2147483647", true, 2147483647},
        {"2147483648", true, 2147483647},
        {"-2147483648", true, -2147483647 - 1},
        {"-2147483649", true, -2147483647 - 1},
        {"-0", false, 0},
        {"-", false, 0},
        {"--5", false, 0},
        {"10ms", false, 0},
        {"abc", false, 0},
        {"", false, 0},
    };
    for (const SignedCase& c : cases) {
        std::int32_t value = -99;
        EXPECT_EQ(ParseSignedField(c.text, value), c.accepted) << '"' << c.text << '"';
        EXPECT_EQ(value, c.accepted ? c.value : -99) << '"' << c.text << '"';
    }
}

TEST(NumberRules, OnlyTheFirst31CharactersAreRead)
{
    struct Case {
        std::string text;
        bool accepted;
    };
    const Case cases[] = {
        // The stray x is the 32nd character: never read.
        {"1" + std::string(30, ' ') + "x", true},
        // Here it is the 31st.
        {"1" + std::string(29, ' ') + "x", false},
        // Digits past the 31st are not part of the number.
        {std::string(30, ' ') + "12", true},
    };
    for (const Case& c : cases) {
        std::uint32_t value = 0;
        EXPECT_EQ(ParseUnsignedField(c.text, value), c.accepted) << '"' << c.text << '"';
    }
    std::uint32_t value = 0;
    ASSERT_TRUE(ParseUnsignedField(std::string(30, ' ') + "12", value));
    EXPECT_EQ(value, 1u);
}

} // namespace
} // namespace korvanel
