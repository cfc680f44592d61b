#include "cdjlink/CDJText.hpp"

#include <locale.h>
#include <wctype.h>

#include <algorithm>
#include <array>

#include "cdjlink/CDJDbCodec.hpp"

namespace fv::cdj {

namespace {

locale_t textLocale() {
    static locale_t loc = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t(0));
        if (!l) l = newlocale(LC_CTYPE_MASK, "C.utf8", locale_t(0));
        return l;
    }();
    return loc;
}

char16_t lowerUnit(char16_t u) {
    if (u >= 0xd800 && u <= 0xdfff) return u;
    if (u < 0x80) return (u >= 'A' && u <= 'Z') ? static_cast<char16_t>(u + 32) : u;
    if (locale_t l = textLocale()) return static_cast<char16_t>(towlower_l(static_cast<wint_t>(u), l));
    return u;
}

// Base letters of the Latin-1 and Latin Extended-A letters (already lower case).
std::u16string_view foldLatin(char16_t u) {
    static constexpr std::array<std::u16string_view, 32> latin1{
        u"a", u"a", u"a", u"a", u"a", u"a", u"ae", u"c", u"e", u"e", u"e", u"e", u"i", u"i", u"i", u"i",
        u"d", u"n", u"o", u"o", u"o", u"o", u"o", u"\u00f7", u"o", u"u", u"u", u"u", u"u", u"y", u"th", u"y"};
    if (u < 0xdf || u > 0x17f) return {};
    if (u == 0xdf) return u"ss";
    if (u <= 0xff) return latin1[u - 0xe0];
    struct Range {
        char16_t from, to;
        std::u16string_view base;
    };
    static constexpr std::array<Range, 24> extA{{{0x100, 0x105, u"a"}, {0x106, 0x10d, u"c"}, {0x10e, 0x111, u"d"},
                                                 {0x112, 0x11b, u"e"}, {0x11c, 0x123, u"g"}, {0x124, 0x127, u"h"},
                                                 {0x128, 0x131, u"i"}, {0x132, 0x133, u"ij"}, {0x134, 0x135, u"j"},
                                                 {0x136, 0x138, u"k"}, {0x139, 0x142, u"l"}, {0x143, 0x14b, u"n"},
                                                 {0x14c, 0x151, u"o"}, {0x152, 0x153, u"oe"}, {0x154, 0x159, u"r"},
                                                 {0x15a, 0x161, u"s"}, {0x162, 0x167, u"t"}, {0x168, 0x173, u"u"},
                                                 {0x174, 0x175, u"w"}, {0x176, 0x178, u"y"}, {0x179, 0x17e, u"z"},
                                                 {0x17f, 0x17f, u"s"}, {0, 0, {}}, {0, 0, {}}}};
    for (const auto& r : extA)
        if (!r.base.empty() && u >= r.from && u <= r.to) return r.base;
    return {};
}

bool isAscii(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

}  // namespace

std::string lowerText(std::string_view text) {
    if (isAscii(text)) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
        return out;
    }
    std::u16string u = utf8ToUtf16(text);
    for (char16_t& c : u) c = lowerUnit(c);
    return utf16ToUtf8(u);
}

std::string sortKeyOf(std::string_view text) {
    if (isAscii(text)) {
        std::string key;
        key.reserve(text.size() * 2 + 1);
        for (char c : text) key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        key += '\0';
        key += text;
        return key;
    }
    std::u16string u = utf8ToUtf16(text);
    std::u16string folded;
    folded.reserve(u.size());
    for (char16_t c : u) {
        char16_t l = lowerUnit(c);
        auto base = foldLatin(l);
        if (base.empty())
            folded += l;
        else
            folded += base;
    }
    std::string key = utf16ToUtf8(folded);
    key += '\0';
    key += text;
    return key;
}

}  // namespace fv::cdj
