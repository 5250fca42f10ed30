// Byte-text helpers shared by every layer. Text is single-byte (ISO-8859-1) in std::string; nothing
// here knows an encoding beyond that, and nothing allocates more than its result.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace vespril {

// Removes every byte of value 32 or less from both ends (blanks and all control characters).
std::string Trim(std::string_view text);

// Lowers the letters A to Z only; every other byte is kept.
std::string LowerAscii(std::string_view text);

// Folds one ISO-8859-1 byte to upper case: a-z and the accented lower-case letters (except the
// German sharp s and y with diaeresis, which have no single-byte capital).
char FoldLatin1(char c);

// Equal without regard to letter case (FoldLatin1 on both sides), whole value.
bool SameText(std::string_view a, std::string_view b);

// Equal without regard to the case of A to Z only.
bool SameTextAscii(std::string_view a, std::string_view b);

// Every occurrence of from replaced by to, scanning left to right without rescanning the output.
std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to);

// The decimal integer that text holds (optional leading blanks, optional sign, digits, 32-bit range).
// Throws Error("'<text>' is not a valid integer value") for anything else.
int32_t StrToInt(std::string_view text);

// Like StrToInt, but reports success instead of throwing.
bool TryStrToInt(std::string_view text, int32_t& value);

}  // namespace vespril
