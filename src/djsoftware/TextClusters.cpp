#include "djsoftware/TextClusters.hpp"

#include <algorithm>
#include <iterator>

namespace fv::text {
namespace {

struct CodeRange {
    char32_t lo, hi;
};

#include "djsoftware/UnicodeTables.inc"

template <std::size_t N>
bool inRanges(const CodeRange (&ranges)[N], char32_t cp) {
    auto it = std::upper_bound(std::begin(ranges), std::end(ranges), cp,
                               [](char32_t c, const CodeRange& r) { return c < r.lo; });
    return it != std::begin(ranges) && cp <= std::prev(it)->hi;
}

bool isExtend(char32_t cp) { return cp >= 0x300 && inRanges(extendRanges, cp); }
bool isPrepend(char32_t cp) { return cp >= 0x600 && inRanges(prependRanges, cp); }
bool isControl(char32_t cp) { return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029; }

// One code point from s at i; a malformed, overlong, surrogate or out-of-range sequence takes one byte.
char32_t decode(std::string_view s, std::size_t& i) {
    auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        ++i;
        return b;
    }
    int len = b >= 0xF0 && b <= 0xF4 ? 4 : b >= 0xE0 && b <= 0xEF ? 3 : b >= 0xC2 && b <= 0xDF ? 2 : 0;
    if (len == 0 || i + len > s.size()) {
        ++i;
        return invalidCodePoint;
    }
    char32_t cp = b & (0x7F >> len);
    for (int k = 1; k < len; ++k) {
        auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            ++i;
            return invalidCodePoint;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
    if (overlong || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return invalidCodePoint;
    }
    i += len;
    return cp;
}

}  // namespace

bool isNumeric(char32_t cp) { return cp != invalidCodePoint && inRanges(numericRanges, cp); }

std::vector<Cluster> clusters(std::string_view text) {
    std::vector<Cluster> out;
    out.reserve(text.size());
    char32_t prev = invalidCodePoint;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t start = i;
        char32_t cp = decode(text, i);
        bool valid = cp != invalidCodePoint;
        bool attaches = !out.empty() && valid && prev != invalidCodePoint && !isControl(prev) && !isControl(cp) &&
                        (isExtend(cp) || cp == 0x200D || isPrepend(prev));
        if (attaches) {
            Cluster& c = out.back();
            c.bytes = text.substr(c.bytes.data() - text.data(), i - static_cast<std::size_t>(c.bytes.data() - text.data()));
            c.single = false;
        } else {
            out.push_back({text.substr(start, i - start), cp, valid});
        }
        prev = cp;
    }
    return out;
}

}  // namespace fv::text
