#include <gtest/gtest.h>

#include "overlay/OverlayPage.hpp"

using namespace fv;
using namespace fv::overlay;

namespace {
bool contains(const std::string& s, std::string_view part) { return s.find(part) != std::string::npos; }
}  // namespace

TEST(OverlayPage, RootPropertiesComeFromTheEffectiveTheme) {
    OverlayConfig c;
    std::string page = renderOverlayPage(c);
    EXPECT_TRUE(contains(page, "--primary:#00F5FF;"));
    EXPECT_TRUE(contains(page, "--bg:#0A0A1E;"));
    EXPECT_TRUE(contains(page, "--radius:8px;"));
    EXPECT_TRUE(contains(page, "--shadow-blur:20px;"));
    EXPECT_TRUE(contains(page, "--font-title:'Orbitron', sans-serif;"));
    EXPECT_TRUE(contains(page, "--font-meta:'Exo 2', sans-serif;"));
    EXPECT_TRUE(contains(page, "--sz-title:28px;"));
    EXPECT_TRUE(contains(page, "--bg-opacity:0.15;"));
    EXPECT_TRUE(contains(page,
                         "https://fonts.googleapis.com/css2?family=Orbitron:wght@400;600;700&amp;"
                         "family=Rajdhani:wght@400;600;700&amp;family=Exo+2:wght@400;600;700&amp;display=swap"));
    EXPECT_TRUE(contains(page, "<meta charset=\"utf-8\">"));
    EXPECT_TRUE(contains(page, "<link rel=\"preconnect\" href=\"https://fonts.googleapis.com\">"));

    c.useCustomTheme = true;
    c.customTheme = presetTheme(OverlayThemePreset::arcade);
    page = renderOverlayPage(c);
    EXPECT_TRUE(contains(page, "--primary:#FFE000;"));
    EXPECT_TRUE(contains(page, "--font-title:'Press Start 2P', sans-serif;"));
    // Single-weight families are asked for without weights, each family once.
    EXPECT_EQ(fontStylesheetURL(OverlayFont::pressStart, OverlayFont::vt323, OverlayFont::vt323),
              "https://fonts.googleapis.com/css2?family=Press+Start+2P&family=VT323&display=swap");
}

TEST(OverlayPage, PlacementAnimationAndAmbientClasses) {
    OverlayConfig c;
    c.guestCountPosition = WidgetPosition::topRight;
    c.broadcastPosition = WidgetPosition::bottomCenter;
    c.nowPlayingPosition = WidgetPosition::custom;
    c.nowPlayingCustomX = 33.5;
    c.nowPlayingCustomY = 70;
    c.requestCustomX = 11;  // kept but unused: the request widget is not custom
    c.animationStyle = OverlayAnimation::pixelFade;
    c.ambientStyle = OverlayAmbient::rainbow;
    std::string page = renderOverlayPage(c);
    EXPECT_TRUE(contains(page, "#w-nowplaying{left:33.5%; top: 70%; transform: translate(-50%, -50%); "));
    EXPECT_TRUE(contains(page, "#w-request{bottom: 40px; left: 24px; margin-bottom: 80px;"));
    EXPECT_TRUE(
        contains(page, "#w-broadcast{bottom: 40px; left: 50%; transform: translateX(-50%); text-align: center;"));
    EXPECT_TRUE(contains(page, "#w-guestcount{top: 24px; left: auto; right: 24px; padding: 8px 14px;"));
    EXPECT_TRUE(
        contains(page, "#w-sponsor{bottom: 40px; left: auto; right: 24px; padding: 6px 14px; max-width: 420px;"));
    EXPECT_TRUE(contains(page, "#w-ad{z-index:100;width:380px;top: 24px; left: 50%; transform: translateX(-50%);}"));
    EXPECT_FALSE(contains(page, "left:11%"));
    EXPECT_TRUE(contains(page, "<body class=\"anim-pixel-auflosung ambient-rainbow\">"));

    // Every entrance animation has its keyframes and its body class rule.
    for (const auto& a : enumCases<OverlayAnimation>()) {
        EXPECT_TRUE(contains(page, "@keyframes " + std::string(animationKeyframes(a.value)) + "{")) << a.name;
        auto rule = page.find("body.anim-" + std::string(animationSlug(a.value)) + " .widget.visible{");
        ASSERT_NE(rule, std::string::npos) << a.name;
        EXPECT_EQ(page.find("animation:" + std::string(animationKeyframes(a.value)) + " ", rule),
                  page.find("animation:", rule))
            << a.name;
    }
    EXPECT_TRUE(contains(page, "fvSlideRight .45s cubic-bezier(0.34,1.2,0.64,1)"));
    for (const char* k : {"fvAmbGlow", "fvAmbHue", "fvAmbRing", "fvAmbFire", "fvAmbShimmer"})
        EXPECT_TRUE(contains(page, std::string("@keyframes ") + k)) << k;

    c.ambientStyle = OverlayAmbient::none;
    EXPECT_TRUE(contains(renderOverlayPage(c), "<body class=\"anim-pixel-auflosung\">"));
    c.ambientStyle = OverlayAmbient::glowPulse;
    c.ambientEnabled = false;
    EXPECT_TRUE(contains(renderOverlayPage(c), "<body class=\"anim-pixel-auflosung\">"));
}

TEST(OverlayPage, WidgetsEditingModeAndSafeEmbedding) {
    OverlayConfig c;
    c.showSponsor = true;
    c.sponsorName = "<b>Bar & Grill</b>";
    c.sponsorTextColor = "#FF0000\"><script>";
    c.sponsorPrefix = "</script><script>alert(1)</script>";
    std::string page = renderOverlayPage(c);
    for (const char* id : {"w-nowplaying", "np-title", "np-artist", "np-votes", "np-vote-fill", "np-up", "np-down",
                           "w-request", "req-title", "req-artist", "req-guest", "w-broadcast", "bc-content",
                           "w-guestcount", "gc-count", "w-sponsor", "w-ad", "w-ad-content"})
        EXPECT_TRUE(contains(page, std::string("id=\"") + id + "\"")) << id;
    EXPECT_TRUE(contains(page, "\U0001F3B5 Now Playing"));
    EXPECT_TRUE(contains(page, "\u2705 Wunsch angenommen"));
    EXPECT_TRUE(contains(page, "\U0001F4E2 Nachricht"));
    // The sponsor line is text; the colour cannot leave its attribute.
    EXPECT_TRUE(contains(page, "&lt;b&gt;Bar &amp; Grill&lt;/b&gt;"));
    EXPECT_TRUE(contains(page, "class=\"widget visible\" id=\"w-sponsor\""));
    EXPECT_TRUE(contains(page, "font-size:16px;color:#FF0000script;font-weight:600"));
    // The configuration JSON inside the script cannot end the script element.
    auto scriptStart = page.find("var config = ");
    ASSERT_NE(scriptStart, std::string::npos);
    auto scriptEnd = page.find("</script>", scriptStart);
    EXPECT_EQ(page.find("</script>", scriptEnd + 1), std::string::npos);
    EXPECT_TRUE(contains(page, "\\u003c/script\\u003e"));
    EXPECT_TRUE(contains(page, "var EDITING = false;"));
    EXPECT_FALSE(contains(page, "\" data-draggable=\"true\" id="));
    // Guest texts are only ever set as text.
    EXPECT_TRUE(contains(page, "el.textContent ="));
    EXPECT_EQ(page.find("innerHTML"), page.rfind("innerHTML"));  // once: the DJ's ad

    c.sponsorMode = SponsorDisplayMode::logo;
    c.sponsorLogoURL = "https://example.org/logo.png\" onerror=\"x";
    page = renderOverlayPage(c, true);
    EXPECT_TRUE(contains(page, "src=\"https://example.org/logo.png&quot; onerror=&quot;x\""));
    EXPECT_TRUE(contains(page, "var EDITING = true;"));
    EXPECT_TRUE(contains(page, "class=\"anim-slide-rechts ambient-glow-pulse editing\""));
    for (const char* id : {"w-nowplaying", "w-request", "w-broadcast", "w-guestcount", "w-sponsor"})
        EXPECT_TRUE(contains(page, std::string("class=\"widget visible\" data-draggable=\"true\" id=\"") + id + "\""))
            << id;
}
