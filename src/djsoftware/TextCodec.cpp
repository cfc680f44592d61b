#include "djsoftware/TextCodec.hpp"

namespace fv {

bool isXmlText(std::string_view s) {
    if (!isValidUtf8(s)) return false;
    for (size_t i = 0; i < s.size();) {
        char32_t cp = decodeUtf8(s, i);
        if (cp < 0x20 && cp != '\t' && cp != '\n' && cp != '\r') return false;
        if (cp == 0xFFFE || cp == 0xFFFF) return false;
    }
    return true;
}

std::optional<std::string> utf8ToUtf16BE(std::string_view s) {
    if (!isValidUtf8(s)) return std::nullopt;
    std::string out;
    for (char16_t u : utf8ToUtf16(s)) {
        out += char((u >> 8) & 0xFF);
        out += char(u & 0xFF);
    }
    return out;
}

std::optional<std::string> utf16BEToUtf8(std::string_view bytes) {
    if (bytes.size() % 2) return std::nullopt;
    std::u16string units;
    units.reserve(bytes.size() / 2);
    for (size_t k = 0; k < bytes.size(); k += 2)
        units += char16_t(static_cast<unsigned char>(bytes[k]) << 8 | static_cast<unsigned char>(bytes[k + 1]));
    // Only whole surrogate pairs: a lone half is damage, not a character.
    for (size_t k = 0; k < units.size(); ++k) {
        char16_t u = units[k];
        if (u >= 0xD800 && u <= 0xDBFF) {
            if (k + 1 >= units.size() || units[k + 1] < 0xDC00 || units[k + 1] > 0xDFFF) return std::nullopt;
            ++k;
        } else if (u >= 0xDC00 && u <= 0xDFFF) {
            return std::nullopt;
        }
    }
    return utf16ToUtf8(units);
}

}  // namespace fv
