#include <gtest/gtest.h>

#include <set>

#include "core/Strings.hpp"
#include "overlay/OverlayConfig.hpp"
#include "overlay/OverlayEvent.hpp"

using namespace fv;
using namespace fv::overlay;

TEST(OverlayConfig, EmptyObjectDecodesToTheDefaults) {
    OverlayConfig c = OverlayConfig::fromJson(json::object());
    EXPECT_EQ(c, OverlayConfig{});
    // The defaults themselves, against the table the settings screen shows.
    EXPECT_FALSE(c.enabled);
    EXPECT_EQ(c.port, 8765);
    EXPECT_EQ(c.selectedPreset, OverlayThemePreset::futuristic);
    EXPECT_EQ(c.customTheme, presetTheme(OverlayThemePreset::futuristic));
    EXPECT_EQ(c.animationStyle, OverlayAnimation::slideFromRight);
    EXPECT_TRUE(c.ambientEnabled);
    EXPECT_EQ(c.ambientStyle, OverlayAmbient::autoSelect);
    EXPECT_TRUE(c.showNowPlaying && c.showRequestAccepted && c.showBroadcast);
    EXPECT_FALSE(c.showNowPlayingVotes || c.showGuestCount || c.showAdWidget || c.showSponsor);
    EXPECT_EQ(c.nowPlayingDuration, 8);
    EXPECT_EQ(c.requestDuration, 5);
    EXPECT_EQ(c.broadcastDuration, 12);
    EXPECT_EQ(c.adWidgetDuration, 10);
    EXPECT_EQ(c.nowPlayingPosition, WidgetPosition::bottomLeft);
    EXPECT_EQ(c.requestPosition, WidgetPosition::bottomLeft);
    EXPECT_EQ(c.broadcastPosition, WidgetPosition::topCenter);
    EXPECT_EQ(c.guestCountPosition, WidgetPosition::topRight);
    EXPECT_EQ(c.adWidgetPosition, WidgetPosition::topCenter);
    EXPECT_EQ(c.sponsorPosition, WidgetPosition::bottomRight);
    EXPECT_TRUE(c.adWidgetUseOriginalDesign);
    EXPECT_EQ(c.sponsorMode, SponsorDisplayMode::text);
    EXPECT_EQ(c.sponsorPrefix, "Sponsored by");
    EXPECT_EQ(c.sponsorTextColor, "#FFFFFF");
    EXPECT_EQ(c.sponsorTextSize, 16);
    EXPECT_EQ(c.nowPlayingCustomX, 12);
    EXPECT_EQ(c.nowPlayingCustomY, 85);
    EXPECT_EQ(c.requestCustomX, 85);
    EXPECT_EQ(c.broadcastCustomY, 15);
    EXPECT_EQ(c.guestCountCustomX, 90);
    EXPECT_EQ(c.guestCountCustomY, 8);
    EXPECT_EQ(c.sponsorCustomX, 88);
    EXPECT_EQ(c.sponsorCustomY, 92);
    EXPECT_EQ(c.sponsorScale, 1.0);
    // Empty stored bytes are a new configuration, not an error.
    EXPECT_EQ(OverlayConfig::fromData(""), OverlayConfig{});
}

TEST(OverlayConfig, RawValuesDecodeAndUnknownOnesFailTheWholeRecord) {
    auto c = OverlayConfig::fromJson(json{{"guestCountPosition", "Oben rechts"},
                                          {"nowPlayingPosition", "Benutzerdefiniert"},
                                          {"ambientStyle", "Feuer / Glut"},
                                          {"animationStyle", "3D Klappen (oben)"},
                                          {"sponsorMode", "Logo"},
                                          {"selectedPreset", "80s Synthwave"},
                                          {"showGuestCount", true}});
    EXPECT_EQ(c.guestCountPosition, WidgetPosition::topRight);
    EXPECT_EQ(c.nowPlayingPosition, WidgetPosition::custom);
    EXPECT_EQ(c.ambientStyle, OverlayAmbient::fire);
    EXPECT_EQ(c.animationStyle, OverlayAnimation::perspective3D);
    EXPECT_EQ(c.sponsorMode, SponsorDisplayMode::logo);
    EXPECT_EQ(c.selectedPreset, OverlayThemePreset::synthwave);
    EXPECT_TRUE(c.showGuestCount);

    // Case names are not raw values; neither are other spellings.
    EXPECT_THROW(OverlayConfig::fromJson(json{{"guestCountPosition", "topRight"}}), DecodeError);
    EXPECT_THROW(OverlayConfig::fromJson(json{{"guestCountPosition", "oben rechts"}}), DecodeError);
    EXPECT_THROW(OverlayConfig::fromJson(json{{"nowPlayingVoteStyle", "Bar"}}), DecodeError);
    // Deep inside: a saved theme's font, the custom theme's background case.
    json badFont = json::parse(OverlayConfig{}.toData());
    badFont["customTheme"]["fontTitle"] = "Comic Sans";
    EXPECT_THROW(OverlayConfig::fromJson(badFont), DecodeError);
    json badBg = json{{"customTheme", {{"background", {{"image", {{"_0", "x.png"}}}}}}}};
    EXPECT_THROW(OverlayConfig::fromJson(badBg), DecodeError);
    // Types are strict and the port is 16 bits.
    EXPECT_THROW(OverlayConfig::fromJson(json{{"port", 70000}}), DecodeError);
    EXPECT_THROW(OverlayConfig::fromJson(json{{"port", -1}}), DecodeError);
    EXPECT_THROW(OverlayConfig::fromJson(json{{"showNowPlaying", "yes"}}), DecodeError);
    EXPECT_THROW(OverlayConfig::fromJson(json{{"nowPlayingDuration", "8"}}), DecodeError);
    EXPECT_THROW(OverlayConfig::fromJson(json::array()), DecodeError);
    EXPECT_THROW(OverlayConfig::fromData("{\"port\":"), DecodeError);
}

TEST(OverlayConfig, EncodingRoundTripsWithFieldOrderAndBackgroundShape) {
    OverlayConfig c;
    c.enabled = true;
    c.port = 9000;
    c.selectedPreset = OverlayThemePreset::aurora;
    c.customTheme = presetTheme(OverlayThemePreset::sunset);
    c.customTheme.background = OverlayBackground::gradient("#111111", "#222222", 45);
    c.sponsorName = "Brauerei M\u00FCller";
    c.nowPlayingPosition = WidgetPosition::custom;
    c.nowPlayingCustomX = 33.5;
    c.saveTheme("Mein Look");
    auto j = c.toJson();
    EXPECT_EQ(OverlayConfig::fromJson(json::parse(j.dump())), c);
    EXPECT_EQ(OverlayConfig::fromData(c.toData()), c);

    // Keys in declaration order, enumerations as raw values.
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it) keys.push_back(it.key());
    ASSERT_GE(keys.size(), 6u);
    EXPECT_EQ(keys[0], "enabled");
    EXPECT_EQ(keys[1], "port");
    EXPECT_EQ(keys[2], "selectedPreset");
    EXPECT_EQ(keys.back(), "sponsorScale");
    EXPECT_EQ(j["nowPlayingPosition"], "Benutzerdefiniert");
    EXPECT_EQ(j["selectedPreset"], "Aurora");

    // The background's single-key shape with positional values.
    EXPECT_EQ(j["customTheme"]["background"].dump(), R"({"gradient":{"_0":"#111111","_1":"#222222","_2":45.0}})");
    EXPECT_EQ(presetTheme(OverlayThemePreset::futuristic).background.toJson().dump(),
              R"({"color":{"_0":"#00000000"}})");
    EXPECT_THROW(OverlayBackground::fromJson(json{{"color", {{"_0", "#000"}}}, {"gradient", json::object()}}),
                 DecodeError);
}

TEST(OverlayConfig, PresetsAreCompleteThemesWithTheirTellingValues) {
    std::set<std::string> names;
    for (const auto& p : enumCases<OverlayThemePreset>()) {
        OverlayThemeConfig t = presetTheme(p.value);
        SCOPED_TRACE(std::string(p.raw));
        EXPECT_EQ(t.name, p.raw);
        for (const std::string* s :
             {&t.previewEmoji, &t.widgetBackground, &t.primaryColor, &t.secondaryColor, &t.accentColor, &t.textColor,
              &t.borderColor, &t.shadowColor, &t.nowPlayingEmoji, &t.requestEmoji, &t.broadcastEmoji})
            EXPECT_FALSE(s->empty());
        EXPECT_GT(t.fontSizeTitle, 0);
        EXPECT_GT(t.fontSizeBody, 0);
        EXPECT_GT(t.fontSizeMeta, 0);
        EXPECT_GE(t.backgroundOpacity, 0);
        EXPECT_LE(t.backgroundOpacity, 1);
        // A theme survives its own JSON.
        EXPECT_EQ(OverlayThemeConfig::fromJson(json::parse(t.toJson().dump())), t);
        names.insert(t.name);
    }
    EXPECT_EQ(names.size(), 8u);

    auto f = presetTheme(OverlayThemePreset::futuristic);
    EXPECT_EQ(f.previewEmoji, "\U0001F680");
    EXPECT_EQ(f.widgetBackground, "#0A0A1E");
    EXPECT_EQ(f.backgroundOpacity, 0.15);
    EXPECT_EQ(f.backgroundBlur, 12);
    EXPECT_EQ(f.primaryColor, "#00F5FF");
    EXPECT_EQ(f.secondaryColor, "#7C3AED");
    EXPECT_EQ(f.accentColor, "#FF2D78");
    EXPECT_EQ(f.shadowBlur, 20);
    EXPECT_EQ(f.borderRadius, 8);
    EXPECT_EQ(f.fontTitle, OverlayFont::orbitron);
    EXPECT_EQ(f.fontBody, OverlayFont::rajdhani);
    EXPECT_EQ(f.fontMeta, OverlayFont::exo2);
    EXPECT_EQ(f.fontSizeTitle, 28);
    EXPECT_EQ(f.animationStyle, OverlayAnimation::perspective3D);
    EXPECT_EQ(f.nowPlayingEmoji, "\U0001F3B5");
    EXPECT_EQ(f.requestEmoji, "\u2705");
    EXPECT_EQ(f.broadcastEmoji, "\U0001F4E2");

    auto colours = [](const OverlayThemeConfig& t) {
        return std::set<std::string>{t.primaryColor, t.secondaryColor, t.accentColor,
                                     t.textColor,    t.borderColor,    t.shadowColor};
    };
    auto emojis = [](const OverlayThemeConfig& t) {
        return std::set<std::string>{t.previewEmoji, t.nowPlayingEmoji, t.requestEmoji, t.broadcastEmoji};
    };
    auto has = [](const std::set<std::string>& s, std::initializer_list<const char*> want) {
        for (auto w : want)
            if (!s.count(w)) return ::testing::AssertionFailure() << w << " missing";
        return ::testing::AssertionSuccess();
    };
    auto synth = presetTheme(OverlayThemePreset::synthwave);
    EXPECT_TRUE(has(colours(synth), {"#FF2D78", "#FFD700", "#BF5FFF", "#FFFFFF"}));
    EXPECT_EQ(synth.widgetBackground, "#1A0030");
    EXPECT_TRUE(has(emojis(synth), {"\U0001F4E1", "\U0001F3B9", "\U0001F306"}));
    auto retro = presetTheme(OverlayThemePreset::retro);
    EXPECT_TRUE(has(colours(retro), {"#F5E6C8", "#8B4513", "#D4A853"}));
    EXPECT_EQ(retro.widgetBackground, "#2C1A0E");
    EXPECT_TRUE(has(emojis(retro), {"\U0001F4F0", "\U0001F3B7", "\U0001F4FB"}));
    auto arcade = presetTheme(OverlayThemePreset::arcade);
    EXPECT_TRUE(has(colours(arcade), {"#FFE000", "#FF4500", "#00FF41", "#FFFFFF"}));
    EXPECT_EQ(arcade.widgetBackground, "#0D0D0D");
    EXPECT_EQ(arcade.backgroundBlur, 0);
    EXPECT_TRUE(has(emojis(arcade), {"\U0001F579", "\U0001F3AE", "\U0001F4AC", "\u2B50"}));
    auto glass = presetTheme(OverlayThemePreset::glass);
    EXPECT_TRUE(has(colours(glass), {"#FFFFFF", "#F472B6", "#22D3EE", "#A78BFA"}));
    EXPECT_EQ(glass.widgetBackground, "#0B0E16");
    EXPECT_TRUE(has(emojis(glass), {"\U0001F9CA"}));
    auto aurora = presetTheme(OverlayThemePreset::aurora);
    EXPECT_TRUE(has(colours(aurora), {"#7C3AED", "#F5F3FF", "#F472B6", "#22D3EE", "#C084FC"}));
    EXPECT_EQ(aurora.widgetBackground, "#160B2E");
    auto minimal = presetTheme(OverlayThemePreset::minimal);
    EXPECT_TRUE(has(colours(minimal), {"#FFFFFF", "#000000", "#3A3A3A", "#D1D5DB", "#9CA3AF"}));
    EXPECT_EQ(minimal.widgetBackground, "#0A0A0A");
    auto sunset = presetTheme(OverlayThemePreset::sunset);
    EXPECT_TRUE(has(colours(sunset), {"#FB7185", "#FFF7ED", "#FDE68A", "#F472B6", "#FB923C"}));
    EXPECT_EQ(sunset.widgetBackground, "#1A0E0A");
}

TEST(OverlayConfig, EffectiveThemeSavedThemesAndEditorMessages) {
    OverlayConfig c;
    c.selectedPreset = OverlayThemePreset::glass;
    c.customTheme.primaryColor = "#ABCDEF";
    EXPECT_EQ(c.effectiveTheme(), presetTheme(OverlayThemePreset::glass));
    c.useCustomTheme = true;
    EXPECT_EQ(c.effectiveTheme().primaryColor, "#ABCDEF");

    c.useCustomTheme = false;
    const std::string id = c.saveTheme("Glas").id;
    ASSERT_EQ(c.savedThemes.size(), 1u);
    EXPECT_EQ(c.savedThemes[0].name, "Glas");
    EXPECT_EQ(c.savedThemes[0].theme, presetTheme(OverlayThemePreset::glass));
    EXPECT_NE(c.saveTheme("Zweiter").id, id);
    c.selectedPreset = OverlayThemePreset::retro;
    EXPECT_FALSE(c.chooseSavedTheme("no-such-id"));
    EXPECT_TRUE(c.chooseSavedTheme(id));
    EXPECT_TRUE(c.useCustomTheme);
    EXPECT_EQ(c.effectiveTheme(), presetTheme(OverlayThemePreset::glass));

    // Ambient: off wins, auto follows the preset.
    c.ambientStyle = OverlayAmbient::autoSelect;
    c.selectedPreset = OverlayThemePreset::minimal;
    EXPECT_EQ(c.effectiveAmbient(), OverlayAmbient::none);
    c.selectedPreset = OverlayThemePreset::futuristic;
    EXPECT_EQ(c.effectiveAmbient(), OverlayAmbient::glowPulse);
    c.ambientEnabled = false;
    EXPECT_EQ(c.effectiveAmbient(), OverlayAmbient::none);

    // A drag makes the placement custom; a resize changes only the scale.
    EXPECT_TRUE(c.applyEditorMessage(json{{"widget", "w-request"}, {"x", 42.5}, {"y", 10}, {"scale", -1}}));
    EXPECT_EQ(c.requestPosition, WidgetPosition::custom);
    EXPECT_EQ(c.requestCustomX, 42.5);
    EXPECT_EQ(c.requestCustomY, 10);
    EXPECT_EQ(c.requestScale, 1.0);
    EXPECT_TRUE(c.applyEditorMessage(json{{"widget", "w-guestcount"}, {"x", -1}, {"y", -1}, {"scale", 1.35}}));
    EXPECT_EQ(c.guestCountPosition, WidgetPosition::topRight);
    EXPECT_EQ(c.guestCountScale, 1.35);
    EXPECT_FALSE(c.applyEditorMessage(json{{"widget", "w-ad"}, {"x", 1}, {"y", 1}}));
}

TEST(OverlayConfig, EnumerationTablesAreCompleteAndLabelled) {
    auto check = [](auto cases, size_t expected, bool labelled) {
        std::set<std::string_view> raws, names, keys;
        for (const auto& c : cases) {
            raws.insert(c.raw);
            names.insert(c.name);
            if (labelled) {
                EXPECT_FALSE(c.key.empty()) << c.name;
                EXPECT_TRUE(hasTranslation(c.key)) << c.key;
                keys.insert(c.key);
            }
            EXPECT_EQ(fromRaw<std::remove_cvref_t<decltype(c.value)>>(c.raw), c.value);
        }
        EXPECT_EQ(raws.size(), expected);
        EXPECT_EQ(names.size(), expected);
        if (labelled) {
            EXPECT_EQ(keys.size(), expected);
        }
    };
    check(enumCases<WidgetPosition>(), 7, true);
    check(enumCases<OverlayAmbient>(), 8, true);
    check(enumCases<OverlayAnimation>(), 18, true);
    check(enumCases<OverlayFont>(), 14, false);
    check(enumCases<OverlayThemePreset>(), 8, false);
    check(enumCases<OverlayEventType>(), 8, false);
    EXPECT_EQ(rawValue(OverlayPreviewResolution::fullHD), "1920 \u00D7 1080");
    EXPECT_EQ(pixelSize(OverlayPreviewResolution::uhd4k).width, 3840);
    EXPECT_EQ(animationSlug(OverlayAnimation::pixelFade), "pixel-auflosung");
    EXPECT_EQ(animationKeyframes(OverlayAnimation::typewriter), "fvTypewriter");
}

TEST(OverlayEvent, EncodesOnlyPresentFieldsAndDecodesStrictly) {
    auto e = OverlayEvent::requestAccepted("Song", "Band", std::nullopt);
    EXPECT_EQ(e.encode(), R"({"type":"requestAccepted","title":"Song","artist":"Band"})");
    auto np = OverlayEvent::nowPlaying("T", "A", 3, 1);
    EXPECT_EQ(np.encode(), R"({"type":"nowPlaying","title":"T","artist":"A","upVotes":3,"downVotes":1})");
    EXPECT_EQ(OverlayEvent::fromJson(json::parse(np.encode())), np);
    auto cfg = OverlayEvent::configChanged(OverlayConfig{});
    EXPECT_EQ(OverlayEvent::fromJson(json::parse(cfg.encode())), cfg);
    // Text that is not UTF-8 is replaced, never thrown at the sender.
    EXPECT_NO_THROW(OverlayEvent::broadcast(std::string("bad \xC3\x28 text")).encode());
    EXPECT_THROW(OverlayEvent::fromJson(json{{"title", "x"}}), DecodeError);
    EXPECT_THROW(OverlayEvent::fromJson(json{{"type", "explode"}}), DecodeError);
    EXPECT_THROW(OverlayEvent::fromJson(json{{"type", "guestCount"}, {"guestCount", "12"}}), DecodeError);
}
