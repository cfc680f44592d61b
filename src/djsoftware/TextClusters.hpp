#pragma once
// User-perceived characters of UTF-8 text, as far as title matching needs them: a character is a
// base code point with the marks, joiners and modifiers that attach to it. Invalid bytes are
// characters of their own that never count as letters or numbers.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace fv::text {

inline constexpr char32_t invalidCodePoint = 0xFFFFFFFF;

struct Cluster {
    std::string_view bytes;
    char32_t first = invalidCodePoint;  // the first code point; invalidCodePoint for a bad byte
    bool single = false;                // one valid code point and nothing attached
};

std::vector<Cluster> clusters(std::string_view text);

// Has a numeric value in some script (digits, fractions, Roman and other numerals).
bool isNumeric(char32_t cp);

}  // namespace fv::text
