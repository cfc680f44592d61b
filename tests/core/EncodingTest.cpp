#include <regex>
#include <set>

#include <gtest/gtest.h>

#include "core/Base64.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/Utf8.hpp"
#include "core/Uuid.hpp"

using namespace fv;

TEST(Base64, RoundTripsEveryLengthAndRejectsBrokenText) {
    std::string bytes;
    for (int i = 0; i < 300; ++i) {
        auto enc = base64Encode(bytes);
        EXPECT_EQ(enc.size() % 4, 0u);
        EXPECT_EQ(base64Decode(enc), bytes) << i;
        bytes += static_cast<char>(i * 37);
    }
    EXPECT_EQ(base64Encode("Man"), "TWFu");
    EXPECT_EQ(base64Encode("Ma"), "TWE=");
    EXPECT_EQ(base64Encode("M"), "TQ==");
    for (const char* bad : {"TWF", "TW=u", "T===", "TWFu====", "TW\xff=", "TWFu TWFu"})
        EXPECT_FALSE(base64Decode(bad)) << bad;
}

TEST(Uuid, RandomVersionFour) {
    std::set<std::string> seen;
    const std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (int i = 0; i < 1000; ++i) {
        auto u = makeUuid();
        EXPECT_TRUE(std::regex_match(u, shape)) << u;
        seen.insert(u);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

TEST(Log, ComponentPrefixAndSink) {
    std::vector<std::string> lines;
    setLogSink([&](const std::string& l) { lines.push_back(l); });
    logLine("AppStore", "[1] Verbinde");
    logf("APIClient", "Base URL: {}", "http://127.0.0.1");
    setLogSink(nullptr);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "[AppStore] [1] Verbinde");
    EXPECT_EQ(lines[1], "[APIClient] Base URL: http://127.0.0.1");
}

TEST(Paths, XdgFoldersFollowTheEnvironment) {
    const char* saved = std::getenv("XDG_STATE_HOME");
    std::string keep = saved ? saved : "";
    setenv("XDG_STATE_HOME", "/tmp/fv-state", 1);
    EXPECT_EQ(xdgStateHome(), "/tmp/fv-state");
    // A relative value is not a valid XDG folder and is ignored.
    setenv("XDG_STATE_HOME", "relative", 1);
    EXPECT_EQ(xdgStateHome(), std::filesystem::path(std::getenv("HOME")) / ".local/state");
    setenv("XDG_STATE_HOME", keep.c_str(), 1);
    // The real home comes from the password database, not from $HOME.
    EXPECT_NE(realHomeDirectory(), std::filesystem::path(std::getenv("HOME")));
}

TEST(Utf8, RepairsEveryBadByteAndRoundTripsUtf16) {
    EXPECT_EQ(repairUtf8("Caf\xC3\xA9"), "Café");
    EXPECT_EQ(repairUtf8("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    EXPECT_EQ(repairUtf8("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");  // no surrogates
    EXPECT_EQ(repairUtf8("\xE2\x82"), "\xEF\xBF\xBD\xEF\xBF\xBD");                   // truncated
    EXPECT_EQ(repairUtf8("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");                   // overlong
    EXPECT_EQ(repairUtf8("\xF4\x90\x80\x80").size(), 12u);                            // past U+10FFFF
    EXPECT_EQ(utf8ToUtf16("a\xff"), std::u16string(u"a\uFFFD"));
    EXPECT_EQ(utf8ToUtf16("\U0001F3B5"), std::u16string(u"\U0001F3B5"));
    EXPECT_EQ(utf16ToUtf8(u"Stra\u00DFe \U0001F3B5"), "Straße \U0001F3B5");
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, char16_t(0xD800))), "\xEF\xBF\xBD");  // unpaired
    EXPECT_TRUE(isValidUtf8("\u00FC\u20AC\U0001F3B5"));
    for (const char* bad : {"\xED\xA0\x80", "\xC0\xAF", "\xF5\x80\x80\x80", "abc\xE2\x82"})
        EXPECT_FALSE(isValidUtf8(bad)) << bad;
    // Whatever the bytes, the repaired text is valid and stable.
    std::string all;
    for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
    auto fixed = repairUtf8(all);
    EXPECT_TRUE(isValidUtf8(fixed));
    EXPECT_EQ(repairUtf8(fixed), fixed);
}
