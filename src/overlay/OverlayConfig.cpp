#include "overlay/OverlayConfig.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "core/Uuid.hpp"

namespace fv::overlay {

namespace J = jsonx;
using std::string;

// Enumeration tables ---------------------------------------------------------------------------

using WP = WidgetPosition;
FV_ENUM_TABLE(WidgetPosition,  //
              {WP::bottomLeft, "bottomLeft", "Unten links", "overlay_pos_bottom_left"},
              {WP::bottomRight, "bottomRight", "Unten rechts", "overlay_pos_bottom_right"},
              {WP::bottomCenter, "bottomCenter", "Unten mittig", "overlay_pos_bottom_center"},
              {WP::topLeft, "topLeft", "Oben links", "overlay_pos_top_left"},
              {WP::topRight, "topRight", "Oben rechts", "overlay_pos_top_right"},
              {WP::topCenter, "topCenter", "Oben mittig", "overlay_pos_top_center"},
              {WP::custom, "custom", "Benutzerdefiniert", "overlay_pos_custom"})

using OA = OverlayAmbient;
FV_ENUM_TABLE(OverlayAmbient,  //
              {OA::autoSelect, "auto", "Automatisch", "overlay_ambient_auto"},
              {OA::none, "none", "Aus", "overlay_ambient_none"},
              {OA::glowPulse, "glowPulse", "Pulsierendes Leuchten", "overlay_ambient_glow_pulse"},
              {OA::borderCycle, "borderCycle", "Rahmen-Farbwechsel", "overlay_ambient_border_cycle"},
              {OA::pulseRing, "pulseRing", "Pulsierender Ring", "overlay_ambient_pulse_ring"},
              {OA::fire, "fire", "Feuer / Glut", "overlay_ambient_fire"},
              {OA::shimmer, "shimmer", "Lichtschimmer", "overlay_ambient_shimmer"},
              {OA::rainbow, "rainbow", "Regenbogen", "overlay_ambient_rainbow"})

FV_ENUM_TABLE(NowPlayingVoteStyle,  //
              {NowPlayingVoteStyle::bar, "bar", "bar", ""}, {NowPlayingVoteStyle::counter, "counter", "counter", ""})

FV_ENUM_TABLE(SponsorDisplayMode,  //
              {SponsorDisplayMode::text, "text", "Text", ""}, {SponsorDisplayMode::logo, "logo", "Logo", ""})

using PR = OverlayPreviewResolution;
FV_ENUM_TABLE(OverlayPreviewResolution,  //
              {PR::hd720, "hd720", "1280 \u00D7 720", ""}, {PR::fullHD, "fullHD", "1920 \u00D7 1080", ""},
              {PR::qhd, "qhd", "2560 \u00D7 1440", ""}, {PR::uhd4k, "uhd4k", "3840 \u00D7 2160", ""})

using AN = OverlayAnimation;
FV_ENUM_TABLE(OverlayAnimation,  //
              {AN::slideFromRight, "slideFromRight", "Slide von rechts", "overlay_anim_slide_right"},
              {AN::slideFromLeft, "slideFromLeft", "Slide von links", "overlay_anim_slide_left"},
              {AN::slideFromTop, "slideFromTop", "Slide von oben", "overlay_anim_slide_top"},
              {AN::slideFromBottom, "slideFromBottom", "Slide von unten", "overlay_anim_slide_bottom"},
              {AN::fadeIn, "fadeIn", "Einblenden", "overlay_anim_fade_in"},
              {AN::zoomIn, "zoomIn", "Zoom einfahren", "overlay_anim_zoom_in"},
              {AN::zoomPop, "zoomPop", "Zoom herausspringen", "overlay_anim_zoom_pop"},
              {AN::bounce, "bounce", "Bounce", "overlay_anim_bounce"},
              {AN::elastic, "elastic", "Elastisch", "overlay_anim_elastic"},
              {AN::perspective3D, "perspective3D", "3D Klappen (oben)", "overlay_anim_3d_perspective"},
              {AN::flipSide, "flipSide", "3D Flip (Seite)", "overlay_anim_3d_flip"},
              {AN::swingIn, "swingIn", "Pendel-Schwung", "overlay_anim_swing"},
              {AN::glitch, "glitch", "Glitch", "overlay_anim_glitch"},
              {AN::neonFlicker, "neonFlicker", "Neon Flackern", "overlay_anim_neon_flicker"},
              {AN::scanlineWipe, "scanlineWipe", "Scanline-Wipe", "overlay_anim_scanline_wipe"},
              {AN::wipeFromTop, "wipeFromTop", "Wipe von oben", "overlay_anim_wipe_top"},
              {AN::pixelFade, "pixelFade", "Pixel-Aufl\u00F6sung", "overlay_anim_pixel_fade"},
              {AN::typewriter, "typewriter", "Schreibmaschine", "overlay_anim_typewriter"})

using OF = OverlayFont;
FV_ENUM_TABLE(OverlayFont,  //
              {OF::orbitron, "orbitron", "Orbitron", ""}, {OF::rajdhani, "rajdhani", "Rajdhani", ""},
              {OF::exo2, "exo2", "Exo 2", ""}, {OF::pressStart, "pressStart", "Press Start 2P", ""},
              {OF::vt323, "vt323", "VT323", ""}, {OF::bebasNeue, "bebasNeue", "Bebas Neue", ""},
              {OF::specialElite, "specialElite", "Special Elite", ""}, {OF::bangers, "bangers", "Bangers", ""},
              {OF::courierPrime, "courierPrime", "Courier Prime", ""},
              {OF::permanentMarker, "permanentMarker", "Permanent Marker", ""}, {OF::inter, "inter", "Inter", ""},
              {OF::spaceGrotesk, "spaceGrotesk", "Space Grotesk", ""}, {OF::sora, "sora", "Sora", ""},
              {OF::montserrat, "montserrat", "Montserrat", ""})

using TP = OverlayThemePreset;
FV_ENUM_TABLE(OverlayThemePreset,  //
              {TP::futuristic, "futuristic", "Futuristic", ""}, {TP::synthwave, "synthwave", "80s Synthwave", ""},
              {TP::retro, "retro", "Retro Vintage", ""}, {TP::arcade, "arcade", "8-Bit Arcade", ""},
              {TP::glass, "glass", "Glass", ""}, {TP::aurora, "aurora", "Aurora", ""},
              {TP::minimal, "minimal", "Minimal", ""}, {TP::sunset, "sunset", "Sunset", ""})

using ET = OverlayEventType;
FV_ENUM_TABLE(OverlayEventType,  //
              {ET::nowPlaying, "nowPlaying", "nowPlaying", ""},
              {ET::requestAccepted, "requestAccepted", "requestAccepted", ""},
              {ET::broadcast, "broadcast", "broadcast", ""}, {ET::guestCount, "guestCount", "guestCount", ""},
              {ET::config, "config", "config", ""}, {ET::initialState, "initialState", "initialState", ""},
              {ET::adShow, "adShow", "adShow", ""}, {ET::nowPlayingVotes, "nowPlayingVotes", "nowPlayingVotes", ""})


std::string_view animationSlug(OverlayAnimation a) {
    static constexpr std::array<std::string_view, 18> slugs = {
        "slide-rechts",   "slide-links",         "slide-oben",     "slide-unten",   "einblenden",
        "zoom-einfahren", "zoom-herausspringen", "bounce",         "elastisch",     "3d-klappen",
        "3d-flip",        "pendel-schwung",      "glitch",         "neon-flackern", "scanline-wipe",
        "wipe-von-oben",  "pixel-auflosung",     "schreibmaschine"};
    return slugs[static_cast<size_t>(a)];
}

std::string_view animationKeyframes(OverlayAnimation a) {
    static constexpr std::array<std::string_view, 18> names = {
        "fvSlideRight", "fvSlideLeft",   "fvSlideTop", "fvSlideBottom", "fvFade",      "fvZoomIn",
        "fvZoomPop",    "fvBounce",      "fvElastic",  "fvPerspective", "fvFlipSide",  "fvSwingIn",
        "fvGlitch",     "fvNeonFlicker", "fvScanline", "fvWipeTop",     "fvPixelFade", "fvTypewriter"};
    return names[static_cast<size_t>(a)];
}

PixelSize pixelSize(OverlayPreviewResolution r) {
    switch (r) {
        case PR::hd720:
            return {1280, 720};
        case PR::fullHD:
            return {1920, 1080};
        case PR::qhd:
            return {2560, 1440};
        case PR::uhd4k:
            return {3840, 2160};
    }
    return {1920, 1080};
}

// Decoding helpers -----------------------------------------------------------------------------

namespace {

template <typename E>
E enumValue(const json& j, std::string_view key, E def) {
    const json* v = J::find(j, key);
    if (!v) return def;
    auto raw = J::Value<string>::get(*v, key);
    auto e = fromRaw<E>(raw);
    if (!e) throw DecodeError("unknown value \"" + raw + "\" for key \"" + string(key) + "\"");
    return *e;
}

double number(const json& j, std::string_view key, double def) { return J::defaulted<double>(j, key, def); }
bool flag(const json& j, std::string_view key, bool def) { return J::defaulted<bool>(j, key, def); }
string text(const json& j, std::string_view key, string def) { return J::defaulted<string>(j, key, std::move(def)); }

}  // namespace

// Background -----------------------------------------------------------------------------------

OverlayBackground OverlayBackground::color(string c) {
    OverlayBackground b;
    b.kind = Kind::color;
    b.first = std::move(c);
    return b;
}

OverlayBackground OverlayBackground::gradient(string from, string to, double angle) {
    OverlayBackground b;
    b.kind = Kind::gradient;
    b.first = std::move(from);
    b.second = std::move(to);
    b.angle = angle;
    return b;
}

std::string OverlayBackground::css() const {
    if (kind == Kind::color) return first;
    return fmt::format("linear-gradient({}deg, {}, {})", angle, first, second);
}

OverlayBackground OverlayBackground::fromJson(const json& j) {
    J::requireObject(j, "OverlayBackground");
    if (j.size() != 1) throw DecodeError("OverlayBackground needs exactly one of \"color\" or \"gradient\"");
    if (const json* c = J::find(j, "color")) {
        J::requireObject(*c, "color");
        return color(J::required<string>(*c, "_0"));
    }
    if (const json* g = J::find(j, "gradient")) {
        J::requireObject(*g, "gradient");
        return gradient(J::required<string>(*g, "_0"), J::required<string>(*g, "_1"), J::required<double>(*g, "_2"));
    }
    throw DecodeError("unknown OverlayBackground case \"" + j.begin().key() + "\"");
}

ordered_json OverlayBackground::toJson() const {
    ordered_json o;
    if (kind == Kind::color) {
        o["color"] = ordered_json{{"_0", first}};
    } else {
        o["gradient"] = ordered_json{{"_0", first}, {"_1", second}, {"_2", angle}};
    }
    return o;
}

// Themes ---------------------------------------------------------------------------------------

OverlayThemeConfig OverlayThemeConfig::fromJson(const json& j) {
    J::requireObject(j, "OverlayThemeConfig");
    const OverlayThemeConfig d = presetTheme(OverlayThemePreset::futuristic);
    OverlayThemeConfig t;
    t.name = text(j, "name", d.name);
    t.previewEmoji = text(j, "previewEmoji", d.previewEmoji);
    t.background = J::find(j, "background") ? OverlayBackground::fromJson(j["background"]) : d.background;
    t.widgetBackground = text(j, "widgetBackground", d.widgetBackground);
    t.backgroundOpacity = number(j, "backgroundOpacity", d.backgroundOpacity);
    t.backgroundBlur = number(j, "backgroundBlur", d.backgroundBlur);
    t.primaryColor = text(j, "primaryColor", d.primaryColor);
    t.secondaryColor = text(j, "secondaryColor", d.secondaryColor);
    t.accentColor = text(j, "accentColor", d.accentColor);
    t.textColor = text(j, "textColor", d.textColor);
    t.borderColor = text(j, "borderColor", d.borderColor);
    t.shadowColor = text(j, "shadowColor", d.shadowColor);
    t.shadowBlur = number(j, "shadowBlur", d.shadowBlur);
    t.borderRadius = number(j, "borderRadius", d.borderRadius);
    t.borderWidth = number(j, "borderWidth", d.borderWidth);
    t.fontTitle = enumValue(j, "fontTitle", d.fontTitle);
    t.fontBody = enumValue(j, "fontBody", d.fontBody);
    t.fontMeta = enumValue(j, "fontMeta", d.fontMeta);
    t.fontSizeTitle = number(j, "fontSizeTitle", d.fontSizeTitle);
    t.fontSizeBody = number(j, "fontSizeBody", d.fontSizeBody);
    t.fontSizeMeta = number(j, "fontSizeMeta", d.fontSizeMeta);
    t.animationStyle = enumValue(j, "animationStyle", d.animationStyle);
    t.nowPlayingEmoji = text(j, "nowPlayingEmoji", d.nowPlayingEmoji);
    t.requestEmoji = text(j, "requestEmoji", d.requestEmoji);
    t.broadcastEmoji = text(j, "broadcastEmoji", d.broadcastEmoji);
    return t;
}

ordered_json OverlayThemeConfig::toJson() const {
    ordered_json o;
    o["name"] = name;
    o["previewEmoji"] = previewEmoji;
    o["background"] = background.toJson();
    o["widgetBackground"] = widgetBackground;
    o["backgroundOpacity"] = backgroundOpacity;
    o["backgroundBlur"] = backgroundBlur;
    o["primaryColor"] = primaryColor;
    o["secondaryColor"] = secondaryColor;
    o["accentColor"] = accentColor;
    o["textColor"] = textColor;
    o["borderColor"] = borderColor;
    o["shadowColor"] = shadowColor;
    o["shadowBlur"] = shadowBlur;
    o["borderRadius"] = borderRadius;
    o["borderWidth"] = borderWidth;
    o["fontTitle"] = rawValue(fontTitle);
    o["fontBody"] = rawValue(fontBody);
    o["fontMeta"] = rawValue(fontMeta);
    o["fontSizeTitle"] = fontSizeTitle;
    o["fontSizeBody"] = fontSizeBody;
    o["fontSizeMeta"] = fontSizeMeta;
    o["animationStyle"] = rawValue(animationStyle);
    o["nowPlayingEmoji"] = nowPlayingEmoji;
    o["requestEmoji"] = requestEmoji;
    o["broadcastEmoji"] = broadcastEmoji;
    return o;
}

namespace {

struct ThemeSpec {
    const char* name;
    const char* preview;
    OverlayBackground background;
    const char* widgetBg;
    double opacity, blur;
    const char *primary, *secondary, *accent, *text, *border, *shadow;
    double shadowBlur, radius, borderWidth;
    OverlayFont title, body, meta;
    double szTitle, szBody, szMeta;
    OverlayAnimation animation;
    const char *npEmoji, *reqEmoji, *bcEmoji;
};

OverlayThemeConfig makeTheme(const ThemeSpec& s) {
    OverlayThemeConfig t;
    t.name = s.name;
    t.previewEmoji = s.preview;
    t.background = s.background;
    t.widgetBackground = s.widgetBg;
    t.backgroundOpacity = s.opacity;
    t.backgroundBlur = s.blur;
    t.primaryColor = s.primary;
    t.secondaryColor = s.secondary;
    t.accentColor = s.accent;
    t.textColor = s.text;
    t.borderColor = s.border;
    t.shadowColor = s.shadow;
    t.shadowBlur = s.shadowBlur;
    t.borderRadius = s.radius;
    t.borderWidth = s.borderWidth;
    t.fontTitle = s.title;
    t.fontBody = s.body;
    t.fontMeta = s.meta;
    t.fontSizeTitle = s.szTitle;
    t.fontSizeBody = s.szBody;
    t.fontSizeMeta = s.szMeta;
    t.animationStyle = s.animation;
    t.nowPlayingEmoji = s.npEmoji;
    t.requestEmoji = s.reqEmoji;
    t.broadcastEmoji = s.bcEmoji;
    return t;
}

const OverlayBackground transparent = OverlayBackground::color("#00000000");

}  // namespace

OverlayThemeConfig presetTheme(OverlayThemePreset p) {
    switch (p) {
        case TP::futuristic:
            return makeTheme({"Futuristic", "\U0001F680",      transparent,  "#0A0A1E", 0.15,
                              12,           "#00F5FF",         "#7C3AED",    "#FF2D78", "#FFFFFF",
                              "#00F5FF",    "#00F5FF",         20,           8,         1,
                              OF::orbitron, OF::rajdhani,      OF::exo2,     28,        18,
                              13,           AN::perspective3D, "\U0001F3B5", "\u2705",  "\U0001F4E2"});
        case TP::synthwave:
            return makeTheme({"80s Synthwave",
                              "\U0001F306",
                              OverlayBackground::gradient("#1A0030", "#FF2D78", 180),
                              "#1A0030",
                              0.55,
                              8,
                              "#FF2D78",
                              "#BF5FFF",
                              "#FFD700",
                              "#FFFFFF",
                              "#FF2D78",
                              "#BF5FFF",
                              24,
                              4,
                              2,
                              OF::bebasNeue,
                              OF::spaceGrotesk,
                              OF::vt323,
                              34,
                              18,
                              16,
                              AN::neonFlicker,
                              "\U0001F3B9",
                              "\U0001F4E1",
                              "\U0001F4E2"});
        case TP::retro:
            return makeTheme({"Retro Vintage",
                              "\U0001F4FB",
                              transparent,
                              "#2C1A0E",
                              0.85,
                              0,
                              "#D4A853",
                              "#8B4513",
                              "#D4A853",
                              "#F5E6C8",
                              "#8B4513",
                              "#000000",
                              10,
                              6,
                              2,
                              OF::specialElite,
                              OF::courierPrime,
                              OF::courierPrime,
                              26,
                              17,
                              13,
                              AN::typewriter,
                              "\U0001F3B7",
                              "\U0001F4F0",
                              "\U0001F4FB"});
        case TP::arcade:
            return makeTheme({"8-Bit Arcade",
                              "\U0001F579",
                              transparent,
                              "#0D0D0D",
                              0.9,
                              0,
                              "#FFE000",
                              "#FF4500",
                              "#00FF41",
                              "#FFFFFF",
                              "#00FF41",
                              "#FF4500",
                              0,
                              0,
                              3,
                              OF::pressStart,
                              OF::vt323,
                              OF::vt323,
                              18,
                              22,
                              16,
                              AN::pixelFade,
                              "\U0001F3AE",
                              "\u2B50",
                              "\U0001F4AC"});
        case TP::glass:
            return makeTheme({"Glass",    "\U0001F9CA", transparent,  "#0B0E16",   0.35,      24, "#22D3EE",
                              "#A78BFA",  "#F472B6",    "#FFFFFF",    "#FFFFFF",   "#0B0E16", 30, 18,
                              1,          OF::sora,     OF::inter,    OF::inter,   26,        17, 12,
                              AN::fadeIn, "\U0001F3B6", "\U0001F49C", "\U0001F4AC"});
        case TP::aurora:
            return makeTheme({"Aurora",
                              "\U0001F30C",
                              OverlayBackground::gradient("#7C3AED", "#22D3EE", 135),
                              "#160B2E",
                              0.45,
                              16,
                              "#C084FC",
                              "#7C3AED",
                              "#F472B6",
                              "#F5F3FF",
                              "#22D3EE",
                              "#7C3AED",
                              26,
                              14,
                              1,
                              OF::montserrat,
                              OF::inter,
                              OF::spaceGrotesk,
                              27,
                              17,
                              12,
                              AN::elastic,
                              "\u2728",
                              "\U0001F49C",
                              "\U0001F30C"});
        case TP::minimal:
            return makeTheme({"Minimal", "\u25FB\uFE0F",      transparent, "#0A0A0A", 0.7,
                              6,         "#FFFFFF",           "#D1D5DB",   "#9CA3AF", "#FFFFFF",
                              "#3A3A3A", "#000000",           12,          4,         1,
                              OF::inter, OF::inter,           OF::inter,   24,        16,
                              12,        AN::slideFromBottom, "\u266B",    "\u2713",  "\u2709\uFE0F"});
        case TP::sunset:
            return makeTheme({"Sunset",
                              "\U0001F305",
                              OverlayBackground::gradient("#FB923C", "#F472B6", 160),
                              "#1A0E0A",
                              0.5,
                              14,
                              "#FB923C",
                              "#F472B6",
                              "#FB7185",
                              "#FFF7ED",
                              "#FDE68A",
                              "#FB7185",
                              22,
                              16,
                              1,
                              OF::montserrat,
                              OF::sora,
                              OF::sora,
                              27,
                              17,
                              12,
                              AN::swingIn,
                              "\U0001F31E",
                              "\U0001F9E1",
                              "\U0001F4E3"});
    }
    return presetTheme(TP::futuristic);
}

OverlayAmbient autoAmbient(OverlayThemePreset p) {
    switch (p) {
        case TP::futuristic:
            return OA::glowPulse;
        case TP::synthwave:
            return OA::borderCycle;
        case TP::retro:
            return OA::shimmer;
        case TP::arcade:
            return OA::pulseRing;
        case TP::glass:
            return OA::shimmer;
        case TP::aurora:
            return OA::rainbow;
        case TP::minimal:
            return OA::none;
        case TP::sunset:
            return OA::fire;
    }
    return OA::none;
}

SavedOverlayTheme SavedOverlayTheme::fromJson(const json& j) {
    J::requireObject(j, "SavedOverlayTheme");
    SavedOverlayTheme s;
    s.id = J::required<string>(j, "id");
    s.name = J::required<string>(j, "name");
    s.theme = J::requiredRecord<OverlayThemeConfig>(j, "theme");
    return s;
}

ordered_json SavedOverlayTheme::toJson() const {
    ordered_json o;
    o["id"] = id;
    o["name"] = name;
    o["theme"] = theme.toJson();
    return o;
}

// Configuration --------------------------------------------------------------------------------

OverlayThemeConfig OverlayConfig::effectiveTheme() const {
    return useCustomTheme ? customTheme : presetTheme(selectedPreset);
}

OverlayAmbient OverlayConfig::effectiveAmbient() const {
    if (!ambientEnabled) return OA::none;
    return ambientStyle == OA::autoSelect ? autoAmbient(selectedPreset) : ambientStyle;
}

const SavedOverlayTheme& OverlayConfig::saveTheme(const string& name) {
    savedThemes.push_back(SavedOverlayTheme{makeUuid(), name, effectiveTheme()});
    return savedThemes.back();
}

bool OverlayConfig::chooseSavedTheme(const string& id) {
    for (const auto& s : savedThemes) {
        if (s.id != id) continue;
        customTheme = s.theme;
        useCustomTheme = true;
        return true;
    }
    return false;
}

bool OverlayConfig::applyEditorMessage(const json& m) {
    if (!m.is_object()) return false;
    auto widget = J::defaulted<string>(m, "widget", "");
    struct Target {
        const char* id;
        WidgetPosition* position;
        double* x;
        double* y;
        double* scale;
    };
    const Target targets[] = {
        {"w-nowplaying", &nowPlayingPosition, &nowPlayingCustomX, &nowPlayingCustomY, &nowPlayingScale},
        {"w-request", &requestPosition, &requestCustomX, &requestCustomY, &requestScale},
        {"w-broadcast", &broadcastPosition, &broadcastCustomX, &broadcastCustomY, &broadcastScale},
        {"w-guestcount", &guestCountPosition, &guestCountCustomX, &guestCountCustomY, &guestCountScale},
        {"w-sponsor", &sponsorPosition, &sponsorCustomX, &sponsorCustomY, &sponsorScale},
    };
    for (const auto& t : targets) {
        if (widget != t.id) continue;
        double x = J::defaulted<double>(m, "x", -1), y = J::defaulted<double>(m, "y", -1);
        double scale = J::defaulted<double>(m, "scale", -1);
        if (x >= 0 && y >= 0) {
            *t.position = WidgetPosition::custom;
            *t.x = std::clamp(x, 0.0, 100.0);
            *t.y = std::clamp(y, 0.0, 100.0);
        }
        if (scale > 0) *t.scale = std::clamp(scale, 0.3, 3.0);
        return true;
    }
    return false;
}

OverlayConfig OverlayConfig::fromJson(const json& j) {
    J::requireObject(j, "OverlayConfig");
    const OverlayConfig d;
    OverlayConfig c;
    c.enabled = flag(j, "enabled", d.enabled);
    if (const json* p = J::find(j, "port")) {
        int64_t port = J::Value<int64_t>::get(*p, "port");
        if (port < 0 || port > 65535) throw DecodeError("number for key \"port\" is out of range");
        c.port = static_cast<uint16_t>(port);
    }
    c.selectedPreset = enumValue(j, "selectedPreset", d.selectedPreset);
    c.customTheme = J::find(j, "customTheme") ? OverlayThemeConfig::fromJson(j["customTheme"]) : d.customTheme;
    c.useCustomTheme = flag(j, "useCustomTheme", d.useCustomTheme);
    if (const json* s = J::find(j, "savedThemes")) {
        if (!s->is_array()) throw DecodeError("wrong type for key \"savedThemes\": expected array");
        for (const auto& e : *s) c.savedThemes.push_back(SavedOverlayTheme::fromJson(e));
    }
    c.animationStyle = enumValue(j, "animationStyle", d.animationStyle);
    c.ambientEnabled = flag(j, "ambientEnabled", d.ambientEnabled);
    c.ambientStyle = enumValue(j, "ambientStyle", d.ambientStyle);
    c.showNowPlaying = flag(j, "showNowPlaying", d.showNowPlaying);
    c.showNowPlayingVotes = flag(j, "showNowPlayingVotes", d.showNowPlayingVotes);
    c.nowPlayingVoteStyle = enumValue(j, "nowPlayingVoteStyle", d.nowPlayingVoteStyle);
    c.showRequestAccepted = flag(j, "showRequestAccepted", d.showRequestAccepted);
    c.showBroadcast = flag(j, "showBroadcast", d.showBroadcast);
    c.showGuestCount = flag(j, "showGuestCount", d.showGuestCount);
    c.showAdWidget = flag(j, "showAdWidget", d.showAdWidget);
    c.showSponsor = flag(j, "showSponsor", d.showSponsor);
    c.nowPlayingDuration = number(j, "nowPlayingDuration", d.nowPlayingDuration);
    c.requestDuration = number(j, "requestDuration", d.requestDuration);
    c.broadcastDuration = number(j, "broadcastDuration", d.broadcastDuration);
    c.adWidgetDuration = number(j, "adWidgetDuration", d.adWidgetDuration);
    c.nowPlayingPosition = enumValue(j, "nowPlayingPosition", d.nowPlayingPosition);
    c.requestPosition = enumValue(j, "requestPosition", d.requestPosition);
    c.broadcastPosition = enumValue(j, "broadcastPosition", d.broadcastPosition);
    c.guestCountPosition = enumValue(j, "guestCountPosition", d.guestCountPosition);
    c.adWidgetPosition = enumValue(j, "adWidgetPosition", d.adWidgetPosition);
    c.adWidgetUseOriginalDesign = flag(j, "adWidgetUseOriginalDesign", d.adWidgetUseOriginalDesign);
    c.sponsorPosition = enumValue(j, "sponsorPosition", d.sponsorPosition);
    c.sponsorMode = enumValue(j, "sponsorMode", d.sponsorMode);
    c.sponsorPrefix = text(j, "sponsorPrefix", d.sponsorPrefix);
    c.sponsorName = text(j, "sponsorName", d.sponsorName);
    c.sponsorLogoURL = text(j, "sponsorLogoURL", d.sponsorLogoURL);
    c.sponsorTextColor = text(j, "sponsorTextColor", d.sponsorTextColor);
    c.sponsorTextSize = number(j, "sponsorTextSize", d.sponsorTextSize);
    c.nowPlayingCustomX = number(j, "nowPlayingCustomX", d.nowPlayingCustomX);
    c.nowPlayingCustomY = number(j, "nowPlayingCustomY", d.nowPlayingCustomY);
    c.requestCustomX = number(j, "requestCustomX", d.requestCustomX);
    c.requestCustomY = number(j, "requestCustomY", d.requestCustomY);
    c.broadcastCustomX = number(j, "broadcastCustomX", d.broadcastCustomX);
    c.broadcastCustomY = number(j, "broadcastCustomY", d.broadcastCustomY);
    c.guestCountCustomX = number(j, "guestCountCustomX", d.guestCountCustomX);
    c.guestCountCustomY = number(j, "guestCountCustomY", d.guestCountCustomY);
    c.sponsorCustomX = number(j, "sponsorCustomX", d.sponsorCustomX);
    c.sponsorCustomY = number(j, "sponsorCustomY", d.sponsorCustomY);
    c.nowPlayingScale = number(j, "nowPlayingScale", d.nowPlayingScale);
    c.requestScale = number(j, "requestScale", d.requestScale);
    c.broadcastScale = number(j, "broadcastScale", d.broadcastScale);
    c.guestCountScale = number(j, "guestCountScale", d.guestCountScale);
    c.sponsorScale = number(j, "sponsorScale", d.sponsorScale);
    return c;
}

OverlayConfig OverlayConfig::fromData(std::string_view bytes) {
    if (bytes.empty()) return OverlayConfig{};
    return fromJson(J::parse(bytes));
}

ordered_json OverlayConfig::toJson() const {
    ordered_json o;
    o["enabled"] = enabled;
    o["port"] = port;
    o["selectedPreset"] = rawValue(selectedPreset);
    o["customTheme"] = customTheme.toJson();
    o["useCustomTheme"] = useCustomTheme;
    o["savedThemes"] = ordered_json::array();
    for (const auto& s : savedThemes) o["savedThemes"].push_back(s.toJson());
    o["animationStyle"] = rawValue(animationStyle);
    o["ambientEnabled"] = ambientEnabled;
    o["ambientStyle"] = rawValue(ambientStyle);
    o["showNowPlaying"] = showNowPlaying;
    o["showNowPlayingVotes"] = showNowPlayingVotes;
    o["nowPlayingVoteStyle"] = rawValue(nowPlayingVoteStyle);
    o["showRequestAccepted"] = showRequestAccepted;
    o["showBroadcast"] = showBroadcast;
    o["showGuestCount"] = showGuestCount;
    o["showAdWidget"] = showAdWidget;
    o["showSponsor"] = showSponsor;
    o["nowPlayingDuration"] = nowPlayingDuration;
    o["requestDuration"] = requestDuration;
    o["broadcastDuration"] = broadcastDuration;
    o["adWidgetDuration"] = adWidgetDuration;
    o["nowPlayingPosition"] = rawValue(nowPlayingPosition);
    o["requestPosition"] = rawValue(requestPosition);
    o["broadcastPosition"] = rawValue(broadcastPosition);
    o["guestCountPosition"] = rawValue(guestCountPosition);
    o["adWidgetPosition"] = rawValue(adWidgetPosition);
    o["adWidgetUseOriginalDesign"] = adWidgetUseOriginalDesign;
    o["sponsorPosition"] = rawValue(sponsorPosition);
    o["sponsorMode"] = rawValue(sponsorMode);
    o["sponsorPrefix"] = sponsorPrefix;
    o["sponsorName"] = sponsorName;
    o["sponsorLogoURL"] = sponsorLogoURL;
    o["sponsorTextColor"] = sponsorTextColor;
    o["sponsorTextSize"] = sponsorTextSize;
    o["nowPlayingCustomX"] = nowPlayingCustomX;
    o["nowPlayingCustomY"] = nowPlayingCustomY;
    o["requestCustomX"] = requestCustomX;
    o["requestCustomY"] = requestCustomY;
    o["broadcastCustomX"] = broadcastCustomX;
    o["broadcastCustomY"] = broadcastCustomY;
    o["guestCountCustomX"] = guestCountCustomX;
    o["guestCountCustomY"] = guestCountCustomY;
    o["sponsorCustomX"] = sponsorCustomX;
    o["sponsorCustomY"] = sponsorCustomY;
    o["nowPlayingScale"] = nowPlayingScale;
    o["requestScale"] = requestScale;
    o["broadcastScale"] = broadcastScale;
    o["guestCountScale"] = guestCountScale;
    o["sponsorScale"] = sponsorScale;
    return o;
}

std::string OverlayConfig::toData() const {
    return toJson().dump(-1, ' ', false, ordered_json::error_handler_t::replace);
}

}  // namespace fv::overlay
