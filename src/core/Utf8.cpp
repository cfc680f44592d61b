#include "core/Utf8.hpp"

#include <cstdint>

namespace fv {

namespace {
constexpr char32_t replacement = 0xfffd;
constexpr char32_t invalid = 0xffffffff;

char32_t decodeOrInvalid(std::string_view s, size_t& i) {
    auto b0 = static_cast<uint8_t>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    size_t len = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b0 & 0xe0) == 0xc0) {
        len = 2, cp = b0 & 0x1f, min = 0x80;
    } else if ((b0 & 0xf0) == 0xe0) {
        len = 3, cp = b0 & 0x0f, min = 0x800;
    } else if ((b0 & 0xf8) == 0xf0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return invalid;
    }
    if (i + len > s.size()) {
        ++i;
        return invalid;
    }
    for (size_t k = 1; k < len; ++k) {
        auto b = static_cast<uint8_t>(s[i + k]);
        if ((b & 0xc0) != 0x80) {
            ++i;
            return invalid;
        }
        cp = (cp << 6) | (b & 0x3f);
    }
    if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) {
        ++i;
        return invalid;
    }
    i += len;
    return cp;
}
}  // namespace

char32_t decodeUtf8(std::string_view s, size_t& i) {
    char32_t cp = decodeOrInvalid(s, i);
    return cp == invalid ? replacement : cp;
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xc0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xe0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    } else {
        out += static_cast<char>(0xf0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
        out += static_cast<char>(0x80 | (cp & 0x3f));
    }
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        char32_t cp = decodeUtf8(text, i);
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xd800 + (cp >> 10));
            out += static_cast<char16_t>(0xdc00 + (cp & 0x3ff));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string utf16ToUtf8(std::u16string_view units) {
    std::string out;
    out.reserve(units.size());
    for (size_t i = 0; i < units.size(); ++i) {
        char32_t u = units[i];
        if (u >= 0xd800 && u <= 0xdbff) {
            if (i + 1 < units.size() && units[i + 1] >= 0xdc00 && units[i + 1] <= 0xdfff) {
                u = 0x10000 + ((u - 0xd800) << 10) + (units[i + 1] - 0xdc00);
                ++i;
            } else {
                u = replacement;
            }
        } else if (u >= 0xdc00 && u <= 0xdfff) {
            u = replacement;
        }
        appendUtf8(out, u);
    }
    return out;
}

std::string repairUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    size_t i = 0;
    while (i < bytes.size()) appendUtf8(out, decodeUtf8(bytes, i));
    return out;
}

bool isValidUtf8(std::string_view s) {
    size_t i = 0;
    while (i < s.size())
        if (decodeOrInvalid(s, i) == invalid) return false;
    return true;
}

}  // namespace fv
