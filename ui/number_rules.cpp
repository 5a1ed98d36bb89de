#include "number_rules.h"

#include <limits>

namespace korvanel {

namespace {

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}
bool IsDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Reads `text` by the field rules into a magnitude and a sign; the caller
// clamps to its own type. `limitNegative`/`limitPositive` are the largest
// magnitudes the type holds on either side, so accumulation stops growing
// once past them (a 31-digit number must not wrap around).
bool ParseField(const std::string& fullText, bool allowMinus, std::uint64_t limitPositive,
                std::uint64_t limitNegative, bool& negative, std::uint64_t& magnitude)
{
    const std::string text = fullText.substr(0, FIELD_TEXT_LIMIT);
    std::size_t i = 0;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    // Only a number that is written starting with 0 may come out as 0: an
    // empty field or letters would otherwise read as a valid 0.
    const bool startsWithZero = i < text.size() && text[i] == '0';

    negative = false;
    if (i < text.size() && text[i] == '-') {
        if (!allowMinus)
            return false;
        negative = true;
        ++i;
    } else if (i < text.size() && text[i] == '+') {
        ++i;
    }

    const std::uint64_t limit = negative ? limitNegative : limitPositive;
    const std::size_t digitsStart = i;
    magnitude = 0;
    while (i < text.size() && IsDigit(text[i])) {
        if (magnitude <= limit)
            magnitude = magnitude * 10 + static_cast<std::uint64_t>(text[i] - '0');
        ++i;
    }
    if (magnitude > limit)
        magnitude = limit;
    // No digits at all leaves the sign unread: whatever follows is refused.
    if (i == digitsStart)
        i = 0;

    if (magnitude == 0 && !startsWithZero)
        return false;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    return i == text.size();
}

} // namespace

bool ParseUnsignedField(const std::string& text, std::uint32_t& value)
{
    bool negative = false;
    std::uint64_t magnitude = 0;
    const std::uint64_t max = std::numeric_limits<std::uint32_t>::max();
    if (!ParseField(text, false, max, 0, negative, magnitude))
        return false;
    value = static_cast<std::uint32_t>(magnitude);
    return true;
}

bool ParseSignedField(const std::string& text, std::int32_t& value)
{
    bool negative = false;
    std::uint64_t magnitude = 0;
    const std::uint64_t maxPositive = std::numeric_limits<std::int32_t>::max();
    const std::uint64_t maxNegative = maxPositive + 1;
    if (!ParseField(text, true, maxPositive, maxNegative, negative, magnitude))
        return false;
    const std::int64_t signedValue =
        negative ? -static_cast<std::int64_t>(magnitude) : static_cast<std::int64_t>(magnitude);
    value = static_cast<std::int32_t>(signedValue);
    return true;
}

std::string FormatUnsignedField(std::uint32_t value)
{
    return std::to_string(value);
}

std::string FormatSignedField(std::int32_t value)
{
    return std::to_string(value);
}

} // namespace korvanel
