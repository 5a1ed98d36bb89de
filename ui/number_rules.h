// How a number is read out of a dialog's edit field. The rules are those of
// the field exchange the dialog has always had, so that what a technician
// types is accepted or refused exactly as before.
#pragma once

#include <cstdint>
#include <string>

namespace korvanel {

// Only this many characters of a field's text are looked at: the exchange
// reads the text into a 32-byte buffer with its terminator.
constexpr std::size_t FIELD_TEXT_LIMIT = 31;

// An unsigned 32-bit field: blanks and tabs around the number are skipped; an
// optional plus sign, then decimal digits; a minus sign is refused; a value
// beyond 4294967295 becomes 4294967295; 0 is refused unless the text starts
// (after blanks) with the digit 0; anything else after the number refuses it.
// On refusal `value` is left as it was.
bool ParseUnsignedField(const std::string& text, std::uint32_t& value);

// A signed 32-bit field: as above, but a minus sign is allowed and values
// are clamped to -2147483648 ... 2147483647.
bool ParseSignedField(const std::string& text, std::int32_t& value);

// "%u" and "%ld" as the fields are written into their controls.
std::string FormatUnsignedField(std::uint32_t value);
std::string FormatSignedField(std::int32_t value);

} // namespace korvanel
