// Arbitrary text through the field-exchange number rules, checked against a
// second, deliberately plain reading of the same rules: trim the first 31
// characters, match [sign]digits, compare the digits as a string against the
// type's limit. Also: a refused text leaves the field untouched, and every
// value written into a control reads back as itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "number_rules.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& text)
{
    std::fprintf(stderr, "number_fuzz: %s for \"%s\"\n", what, text.c_str());
    std::abort();
}

struct Reading {
    bool accepted = false;
    bool negative = false;
    std::string digits;  // without leading zeros; empty for 0
};

Reading ReadByHand(const std::string& full, bool allowMinus)
{
    Reading r;
    std::string t = full.substr(0, 31);
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!t.empty() && blank(t.front()))
        t.erase(t.begin());
    while (!t.empty() && blank(t.back()))
        t.pop_back();
    if (t.empty())
        return r;
    std::size_t i = 0;
    if (t[0] == '+' || t[0] == '-') {
        r.negative = t[0] == '-';
        i = 1;
    }
    if (r.negative && !allowMinus)
        return r;
    if (i == t.size())
        return r;
    for (std::size_t k = i; k < t.size(); ++k)
        if (t[k] < '0' || t[k] > '9')
            return r;
    r.digits = t.substr(i);
    r.digits.erase(0, r.digits.find_first_not_of('0'));
    if (r.digits.empty() && t[0] != '0')
        return r;  // 0 only when written starting with the digit 0
    r.accepted = true;
    return r;
}

// Decimal strings without leading zeros compare by length, then text.
bool Exceeds(const std::string& digits, const std::string& limit)
{
    return digits.size() != limit.size() ? digits.size() > limit.size() : digits > limit;
}

std::string Expected(const Reading& r, const std::string& posLimit, const std::string& negLimit)
{
    const std::string& limit = r.negative ? negLimit : posLimit;
    const std::string magnitude = Exceeds(r.digits, limit) ? limit : (r.digits.empty() ? "0" : r.digits);
    return (r.negative && magnitude != "0" ? "-" : "") + magnitude;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    constexpr std::uint32_t untouchedU = 0xDEADBEEF;
    std::uint32_t u = untouchedU;
    const bool uAccepted = korvanel::ParseUnsignedField(text, u);
    const Reading ru = ReadByHand(text, false);
    if (uAccepted != ru.accepted)
        Fail("unsigned field: accepted differs", text);
    if (!uAccepted && u != untouchedU)
        Fail("unsigned field: refused text changed the field", text);
    if (uAccepted && std::to_string(u) != Expected(ru, "4294967295", ""))
        Fail("unsigned field: value differs", text);

    constexpr std::int32_t untouchedS = -123456789;
    std::int32_t s = untouchedS;
    const bool sAccepted = korvanel::ParseSignedField(text, s);
    const Reading rs = ReadByHand(text, true);
    if (sAccepted != rs.accepted)
        Fail("signed field: accepted differs", text);
    if (!sAccepted && s != untouchedS)
        Fail("signed field: refused text changed the field", text);
    if (sAccepted && std::to_string(s) != Expected(rs, "2147483647", "2147483648"))
        Fail("signed field: value differs", text);

    // What the dialog writes into a control must read back unchanged.
    std::uint32_t u2 = 0;
    if (!korvanel::ParseUnsignedField(korvanel::FormatUnsignedField(u), u2) || u2 != u)
        Fail("unsigned field: written value does not read back", text);
    std::int32_t s2 = 0;
    if (!korvanel::ParseSignedField(korvanel::FormatSignedField(s), s2) || s2 != s)
        Fail("signed field: written value does not read back", text);
    return 0;
}
