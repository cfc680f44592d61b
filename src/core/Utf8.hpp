#pragma once
// The one UTF-8 / UTF-16 codec of the program. Invalid input never fails: it is repaired with
// U+FFFD, one replacement per bad byte, so decoding resynchronises on the next lead byte.
#include <string>
#include <string_view>

namespace fv {

// Decodes one sequence at s[i] and advances i; invalid, overlong, surrogate or truncated
// sequences give U+FFFD and advance by one byte. Requires i < s.size().
char32_t decodeUtf8(std::string_view s, size_t& i);
void appendUtf8(std::string& out, char32_t cp);

// UTF-16 code units of a UTF-8 text; invalid UTF-8 becomes U+FFFD.
std::u16string utf8ToUtf16(std::string_view text);
// UTF-8 of UTF-16 code units; unpaired surrogates become U+FFFD.
std::string utf16ToUtf8(std::u16string_view units);
// The text with invalid UTF-8 sequences replaced by U+FFFD.
std::string repairUtf8(std::string_view bytes);
// True when the whole text is well-formed UTF-8.
bool isValidUtf8(std::string_view s);

}  // namespace fv
