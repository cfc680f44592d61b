#pragma once
// The stream overlay's configuration: widgets, placement, timing, animation, ambient effect,
// theme and sponsor line. Stored as JSON bytes in the settings' overlayConfigData and pushed to
// the page with every "config" event. Enumerations travel as their raw values (several of them
// German display texts); an unknown raw value fails the whole record.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/EnumTable.hpp"
#include "core/Json.hpp"

namespace fv::overlay {

using fv::caseName;
using fv::enumCase;
using fv::EnumCase;
using fv::enumCases;
using fv::fromCaseName;
using fv::fromRaw;
using fv::localizationKey;
using fv::rawValue;

enum class WidgetPosition { bottomLeft, bottomRight, bottomCenter, topLeft, topRight, topCenter, custom };
enum class OverlayAmbient { autoSelect, none, glowPulse, borderCycle, pulseRing, fire, shimmer, rainbow };
enum class NowPlayingVoteStyle { bar, counter };
enum class SponsorDisplayMode { text, logo };
enum class OverlayPreviewResolution { hd720, fullHD, qhd, uhd4k };
enum class OverlayAnimation {
    slideFromRight,
    slideFromLeft,
    slideFromTop,
    slideFromBottom,
    fadeIn,
    zoomIn,
    zoomPop,
    bounce,
    elastic,
    perspective3D,
    flipSide,
    swingIn,
    glitch,
    neonFlicker,
    scanlineWipe,
    wipeFromTop,
    pixelFade,
    typewriter,
};
enum class OverlayFont {
    orbitron,
    rajdhani,
    exo2,
    pressStart,
    vt323,
    bebasNeue,
    specialElite,
    bangers,
    courierPrime,
    permanentMarker,
    inter,
    spaceGrotesk,
    sora,
    montserrat,
};
enum class OverlayThemePreset { futuristic, synthwave, retro, arcade, glass, aurora, minimal, sunset };
enum class OverlayEventType {
    nowPlaying,
    requestAccepted,
    broadcast,
    guestCount,
    config,
    initialState,
    adShow,
    nowPlayingVotes,
};

FV_ENUM_TABLE_DECL(WidgetPosition);
FV_ENUM_TABLE_DECL(OverlayAmbient);
FV_ENUM_TABLE_DECL(NowPlayingVoteStyle);
FV_ENUM_TABLE_DECL(SponsorDisplayMode);
FV_ENUM_TABLE_DECL(OverlayPreviewResolution);
FV_ENUM_TABLE_DECL(OverlayAnimation);
FV_ENUM_TABLE_DECL(OverlayFont);
FV_ENUM_TABLE_DECL(OverlayThemePreset);
FV_ENUM_TABLE_DECL(OverlayEventType);

// The body class suffix of an entrance animation ("anim-" + slug) and its keyframe set.
std::string_view animationSlug(OverlayAnimation a);
std::string_view animationKeyframes(OverlayAnimation a);

// Pixel size of a preview resolution.
struct PixelSize {
    int width;
    int height;
};
PixelSize pixelSize(OverlayPreviewResolution r);

// The page behind the widgets: one colour, or a gradient from one colour to another at an angle
// in degrees. JSON: {"color":{"_0":c}} or {"gradient":{"_0":from,"_1":to,"_2":angle}}.
struct OverlayBackground {
    enum class Kind { color, gradient };
    Kind kind = Kind::color;
    std::string first = "#00000000";  // the colour, or the gradient's first colour
    std::string second;               // the gradient's second colour
    double angle = 0;                 // the gradient's angle

    static OverlayBackground color(std::string c);
    static OverlayBackground gradient(std::string from, std::string to, double angle);
    // The CSS background value.
    std::string css() const;

    static OverlayBackground fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const OverlayBackground&) const = default;
};

struct OverlayThemeConfig {
    std::string name;
    std::string previewEmoji;
    OverlayBackground background;
    std::string widgetBackground;
    double backgroundOpacity = 0;
    double backgroundBlur = 0;
    std::string primaryColor;
    std::string secondaryColor;
    std::string accentColor;
    std::string textColor;
    std::string borderColor;
    std::string shadowColor;
    double shadowBlur = 0;
    double borderRadius = 0;
    double borderWidth = 0;
    OverlayFont fontTitle = OverlayFont::orbitron;
    OverlayFont fontBody = OverlayFont::rajdhani;
    OverlayFont fontMeta = OverlayFont::exo2;
    double fontSizeTitle = 0;
    double fontSizeBody = 0;
    double fontSizeMeta = 0;
    OverlayAnimation animationStyle = OverlayAnimation::perspective3D;
    std::string nowPlayingEmoji;
    std::string requestEmoji;
    std::string broadcastEmoji;

    // Missing keys take the Futuristic theme's values.
    static OverlayThemeConfig fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const OverlayThemeConfig&) const = default;
};

// The complete theme of a preset.
OverlayThemeConfig presetTheme(OverlayThemePreset p);
// The ambient effect "auto" stands for with a preset.
OverlayAmbient autoAmbient(OverlayThemePreset p);

struct SavedOverlayTheme {
    std::string id;
    std::string name;
    OverlayThemeConfig theme;

    static SavedOverlayTheme fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const SavedOverlayTheme&) const = default;
};

struct OverlayConfig {
    bool enabled = false;
    uint16_t port = 8765;
    OverlayThemePreset selectedPreset = OverlayThemePreset::futuristic;
    OverlayThemeConfig customTheme = presetTheme(OverlayThemePreset::futuristic);
    bool useCustomTheme = false;
    std::vector<SavedOverlayTheme> savedThemes;
    OverlayAnimation animationStyle = OverlayAnimation::slideFromRight;
    bool ambientEnabled = true;
    OverlayAmbient ambientStyle = OverlayAmbient::autoSelect;
    bool showNowPlaying = true;
    bool showNowPlayingVotes = false;
    NowPlayingVoteStyle nowPlayingVoteStyle = NowPlayingVoteStyle::bar;
    bool showRequestAccepted = true;
    bool showBroadcast = true;
    bool showGuestCount = false;
    bool showAdWidget = false;
    bool showSponsor = false;
    double nowPlayingDuration = 8;
    double requestDuration = 5;
    double broadcastDuration = 12;
    double adWidgetDuration = 10;
    WidgetPosition nowPlayingPosition = WidgetPosition::bottomLeft;
    WidgetPosition requestPosition = WidgetPosition::bottomLeft;
    WidgetPosition broadcastPosition = WidgetPosition::topCenter;
    WidgetPosition guestCountPosition = WidgetPosition::topRight;
    WidgetPosition adWidgetPosition = WidgetPosition::topCenter;
    bool adWidgetUseOriginalDesign = true;
    WidgetPosition sponsorPosition = WidgetPosition::bottomRight;
    SponsorDisplayMode sponsorMode = SponsorDisplayMode::text;
    std::string sponsorPrefix = "Sponsored by";
    std::string sponsorName;
    std::string sponsorLogoURL;
    std::string sponsorTextColor = "#FFFFFF";
    double sponsorTextSize = 16;
    double nowPlayingCustomX = 12, nowPlayingCustomY = 85;
    double requestCustomX = 85, requestCustomY = 85;
    double broadcastCustomX = 50, broadcastCustomY = 15;
    double guestCountCustomX = 90, guestCountCustomY = 8;
    double sponsorCustomX = 88, sponsorCustomY = 92;
    double nowPlayingScale = 1.0;
    double requestScale = 1.0;
    double broadcastScale = 1.0;
    double guestCountScale = 1.0;
    double sponsorScale = 1.0;

    // customTheme when useCustomTheme is set, otherwise the selected preset's theme.
    OverlayThemeConfig effectiveTheme() const;
    // The ambient effect actually shown: none when switched off, auto resolved by the preset.
    OverlayAmbient effectiveAmbient() const;

    // Appends a copy of the effective theme under a new id and the given name; returns the entry.
    const SavedOverlayTheme& saveTheme(const std::string& name);
    // Copies a saved theme into customTheme and switches to it; false when the id is unknown.
    bool chooseSavedTheme(const std::string& id);

    // Applies a position or scale message of the editing preview ({widget, x, y, scale}; -1 for
    // "unchanged"). A position makes the widget's placement custom. False for an unknown widget.
    bool applyEditorMessage(const json& message);

    // Missing keys take the defaults; a wrong type or unknown raw value throws DecodeError.
    static OverlayConfig fromJson(const json& j);
    // The stored bytes: nothing stored or an empty value gives the defaults.
    static OverlayConfig fromData(std::string_view bytes);
    ordered_json toJson() const;
    std::string toData() const;
    bool operator==(const OverlayConfig&) const = default;
};

}  // namespace fv::overlay
