#pragma once
// Serato database and crate fields as the files hold them: a four-letter tag, the length as 32 bits
// big-endian, the value; texts in UTF-16 big-endian.
#include <cstdint>
#include <string>
#include <string_view>

#include "djsoftware/TextCodec.hpp"

namespace fv::test {

inline std::string seratoField(std::string_view tag, std::string_view value) {
    std::string out(tag);
    auto n = static_cast<uint32_t>(value.size());
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<char>((n >> s) & 0xFF));
    return out + std::string(value);
}

inline std::string seratoText(std::string_view tag, std::string_view utf8) {
    return seratoField(tag, *utf8ToUtf16BE(utf8));
}

}  // namespace fv::test
