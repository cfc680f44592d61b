#pragma once
// The DJ's ads: an uploaded picture or a card designed from a few fields, shown on the guests'
// pages and in the stream overlay. Two JSON forms: the local one (camelCase field names, as kept
// under "floorvote_ads") and the backend's (snake_case keys, lenient, with the backend's
// defaults).
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Json.hpp"
#include "overlay/OverlayConfig.hpp"

namespace fv::overlay {

enum class AdContentType { image, designed };
enum class AdDisplayMode { banner, interstitial };
enum class AdFontPreset { modern, elegant, energetic, minimal, neon };
enum class AdGradientPreset { purple, amber, rose, teal, midnight, fire };
enum class AdScheduleMode { manual, interval, continuous };

// The key is the label of the display mode ("Top-Banner", "Vollbild-Overlay").
FV_ENUM_TABLE_DECL(AdContentType);
FV_ENUM_TABLE_DECL(AdDisplayMode);
FV_ENUM_TABLE_DECL(AdFontPreset);
FV_ENUM_TABLE_DECL(AdGradientPreset);
FV_ENUM_TABLE_DECL(AdScheduleMode);

// The two colours of a gradient preset.
std::pair<std::string_view, std::string_view> gradientColors(AdGradientPreset p);

// JSON {"type": "gradient"|"solidColor"|"dark", "value": preset raw value or colour}.
struct AdBackground {
    enum class Kind { gradient, solidColor, dark };
    Kind kind = Kind::gradient;
    AdGradientPreset gradient = AdGradientPreset::purple;
    std::string color;  // for solidColor

    static AdBackground makeGradient(AdGradientPreset p);
    static AdBackground solid(std::string color);
    static AdBackground dark();

    static AdBackground fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const AdBackground&) const = default;
};

struct AdDesign {
    std::string headline;
    std::string subtext;
    std::string emoji;
    AdFontPreset fontPreset = AdFontPreset::modern;
    AdBackground backgroundStyle;
    std::string textColor = "#ffffff";
    std::string accentColor = "#F59E0B";
    bool showLogo = false;

    static AdDesign fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const AdDesign&) const = default;
};

struct AdSchedule {
    AdScheduleMode mode = AdScheduleMode::manual;
    int64_t intervalMinutes = 15;
    int64_t durationSeconds = 10;
    int64_t startDelay = 0;  // minutes before the first scheduled showing

    static AdSchedule fromJson(const json& j);
    ordered_json toJson() const;
    bool operator==(const AdSchedule&) const = default;
};

struct EventAd {
    using Clock = std::chrono::system_clock;

    std::string id;
    std::string name;
    AdContentType type = AdContentType::designed;
    std::optional<std::string> imageUrl;
    std::optional<AdDesign> design;
    AdDisplayMode displayMode = AdDisplayMode::banner;
    AdSchedule schedule;
    bool isEnabled = true;
    int64_t showCount = 0;
    Clock::time_point createdAt{};
    bool showInOverlay = false;

    // Local form: every non-optional field is required; an unknown raw value fails.
    static EventAd fromJson(const json& j);
    ordered_json toJson() const;

    // Backend form: missing values take the backend's defaults; an unknown raw value falls back
    // to the default as well. Throws DecodeError only when there is no id.
    static EventAd fromBackendJson(const json& j);
    ordered_json toBackendJson() const;

    bool operator==(const EventAd&) const = default;
};

// Dates: written as ISO 8601 in UTC; read from ISO 8601 (offset and fraction optional) or from a
// number of seconds since 2001-01-01, the platform's default date encoding.
std::string formatDate(EventAd::Clock::time_point t);
std::optional<EventAd::Clock::time_point> parseDate(const json& v);

enum class AdErrorCode { noDesign, noImage };
std::string_view description(AdErrorCode code);
class AdError : public std::runtime_error {
public:
    explicit AdError(AdErrorCode c) : std::runtime_error(std::string(description(c))), code(c) {}
    AdErrorCode code;
};

// Where the ad is shown: the guests' pages get the full card; the overlay either the same card
// or, with the overlay's own design, the content only, on the overlay's widget styling.
enum class AdHtmlStyle { original, content };

// The ad as an HTML fragment. Every text of a designed ad is escaped; colours that are not plain
// CSS colours fall back to the defaults; only http(s) and data:image addresses are used for
// pictures. Throws AdError for a designed ad without a design or an image ad without a picture.
std::string renderAdHtml(const EventAd& ad, AdHtmlStyle style = AdHtmlStyle::original,
                         const std::optional<std::string>& logoUrl = std::nullopt);
// The overlay's adHtml for this configuration (adWidgetUseOriginalDesign picks the style).
std::string overlayAdHtml(const EventAd& ad, const OverlayConfig& config,
                          const std::optional<std::string>& logoUrl = std::nullopt);

// "#RGB", "#RGBA", "#RRGGBB" or "#RRGGBBAA".
bool isHexColor(std::string_view s);

}  // namespace fv::overlay
