#include "overlay/EventAd.hpp"

#include <fmt/format.h>

#include <array>
#include <cctype>
#include <cmath>
#include <ctime>

#include "overlay/OverlayPage.hpp"

namespace fv::overlay {

namespace J = jsonx;
using std::string;

FV_ENUM_TABLE(AdContentType, {AdContentType::image, "image", "image", ""},
              {AdContentType::designed, "designed", "designed", ""})
FV_ENUM_TABLE(AdDisplayMode, {AdDisplayMode::banner, "banner", "banner", "Top-Banner"},
              {AdDisplayMode::interstitial, "interstitial", "interstitial", "Vollbild-Overlay"})
FV_ENUM_TABLE(AdFontPreset, {AdFontPreset::modern, "modern", "modern", ""},
              {AdFontPreset::elegant, "elegant", "elegant", ""},
              {AdFontPreset::energetic, "energetic", "energetic", ""},
              {AdFontPreset::minimal, "minimal", "minimal", ""}, {AdFontPreset::neon, "neon", "neon", ""})
FV_ENUM_TABLE(AdGradientPreset, {AdGradientPreset::purple, "purple", "purple", ""},
              {AdGradientPreset::amber, "amber", "amber", ""}, {AdGradientPreset::rose, "rose", "rose", ""},
              {AdGradientPreset::teal, "teal", "teal", ""}, {AdGradientPreset::midnight, "midnight", "midnight", ""},
              {AdGradientPreset::fire, "fire", "fire", ""})
FV_ENUM_TABLE(AdScheduleMode, {AdScheduleMode::manual, "manual", "manual", ""},
              {AdScheduleMode::interval, "interval", "interval", ""},
              {AdScheduleMode::continuous, "continuous", "continuous", ""})

std::pair<std::string_view, std::string_view> gradientColors(AdGradientPreset p) {
    switch (p) {
        case AdGradientPreset::purple:
            return {"#6B21A8", "#A855F7"};
        case AdGradientPreset::amber:
            return {"#B45309", "#F59E0B"};
        case AdGradientPreset::rose:
            return {"#BE185D", "#FB7185"};
        case AdGradientPreset::teal:
            return {"#0F766E", "#2DD4BF"};
        case AdGradientPreset::midnight:
            return {"#0F172A", "#334155"};
        case AdGradientPreset::fire:
            return {"#DC2626", "#F97316"};
    }
    return {"#6B21A8", "#A855F7"};
}

std::string_view description(AdErrorCode code) {
    switch (code) {
        case AdErrorCode::noDesign:
            return "Kein Design definiert";
        case AdErrorCode::noImage:
            return "Kein Bild hinterlegt";
    }
    return "";
}

namespace {

template <typename E>
E strictEnum(const json& j, std::string_view key) {
    auto raw = J::required<string>(j, key);
    auto e = fromRaw<E>(raw);
    if (!e) throw DecodeError("unknown value \"" + raw + "\" for key \"" + string(key) + "\"");
    return *e;
}

// Backend values: anything unreadable gives the default.
template <typename E>
E lenientEnum(const json& j, std::string_view key, E def) {
    const json* v = J::find(j, key);
    if (!v || !v->is_string()) return def;
    return fromRaw<E>(v->get<string>()).value_or(def);
}
string lenientString(const json& j, std::string_view key, string def) {
    const json* v = J::find(j, key);
    return v && v->is_string() ? v->get<string>() : def;
}
int64_t lenientInt(const json& j, std::string_view key, int64_t def) {
    const json* v = J::find(j, key);
    if (!v) return def;
    try {
        return J::Value<int64_t>::get(*v, key);
    } catch (const DecodeError&) {
        if (v->is_string()) {
            try {
                return std::stoll(v->get<string>());
            } catch (...) {
            }
        }
        return def;
    }
}
bool lenientBool(const json& j, std::string_view key, bool def) { return J::boolOrIntLenient(j, key, def); }

}  // namespace

// ---- dates ----------------------------------------------------------------------------------

// Seconds between 1970-01-01 and 2001-01-01.
constexpr int64_t referenceDateOffset = 978307200;

std::string formatDate(EventAd::Clock::time_point t) {
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
    std::time_t secs = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
    int frac = static_cast<int>(((ms % 1000) + 1000) % 1000);
    std::tm tm{};
    gmtime_r(&secs, &tm);
    if (frac)
        return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                           tm.tm_hour, tm.tm_min, tm.tm_sec, frac);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}Z", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                       tm.tm_min, tm.tm_sec);
}

std::optional<EventAd::Clock::time_point> parseDate(const json& v) {
    using namespace std::chrono;
    if (v.is_number()) {
        double s = v.get<double>();
        if (!std::isfinite(s) || std::fabs(s) > 1e11) return std::nullopt;
        return EventAd::Clock::time_point(
            duration_cast<EventAd::Clock::duration>(milliseconds(std::llround((s + referenceDateOffset) * 1000))));
    }
    if (!v.is_string()) return std::nullopt;
    const string s = v.get<string>();
    int y, mo, d, h = 0, mi = 0, sec = 0;
    size_t pos = 0;
    auto digits = [&](int n, int& out) {
        if (pos + n > s.size()) return false;
        out = 0;
        for (int i = 0; i < n; ++i) {
            char c = s[pos + i];
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
            out = out * 10 + (c - '0');
        }
        pos += n;
        return true;
    };
    auto expect = [&](char c) {
        if (pos < s.size() && s[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    };
    if (!digits(4, y) || !expect('-') || !digits(2, mo) || !expect('-') || !digits(2, d)) return std::nullopt;
    if (pos < s.size() && (s[pos] == 'T' || s[pos] == ' ')) {
        ++pos;
        if (!digits(2, h) || !expect(':') || !digits(2, mi)) return std::nullopt;
        if (expect(':') && !digits(2, sec)) return std::nullopt;
    }
    int millis = 0;
    if (expect('.')) {
        int scale = 100, n = 0;
        while (pos < s.size() && std::isdigit(static_cast<unsigned char>(s[pos]))) {
            if (n++ < 3) millis += (s[pos] - '0') * scale, scale /= 10;
            ++pos;
        }
        if (n == 0) return std::nullopt;
    }
    int offset = 0;
    if (expect('Z') || expect('z')) {
    } else if (pos < s.size() && (s[pos] == '+' || s[pos] == '-')) {
        int sign = s[pos] == '-' ? -1 : 1;
        ++pos;
        int oh, om = 0;
        if (!digits(2, oh)) return std::nullopt;
        expect(':');
        if (pos < s.size() && !digits(2, om)) return std::nullopt;
        offset = sign * (oh * 3600 + om * 60);
    }
    if (pos != s.size()) return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60) return std::nullopt;
    std::tm tm{};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = sec;
    std::time_t t = timegm(&tm);
    return EventAd::Clock::time_point(
        duration_cast<EventAd::Clock::duration>(seconds(t - offset) + milliseconds(millis)));
}

// ---- records --------------------------------------------------------------------------------

AdBackground AdBackground::makeGradient(AdGradientPreset p) {
    AdBackground b;
    b.kind = Kind::gradient;
    b.gradient = p;
    return b;
}
AdBackground AdBackground::solid(string color) {
    AdBackground b;
    b.kind = Kind::solidColor;
    b.color = std::move(color);
    return b;
}
AdBackground AdBackground::dark() {
    AdBackground b;
    b.kind = Kind::dark;
    return b;
}

AdBackground AdBackground::fromJson(const json& j) {
    J::requireObject(j, "AdBackground");
    auto type = J::required<string>(j, "type");
    if (type == "gradient") return makeGradient(strictEnum<AdGradientPreset>(j, "value"));
    if (type == "solidColor") return solid(J::required<string>(j, "value"));
    if (type == "dark") return dark();
    throw DecodeError("unknown value \"" + type + "\" for key \"type\"");
}

ordered_json AdBackground::toJson() const {
    ordered_json o;
    switch (kind) {
        case Kind::gradient:
            o["type"] = "gradient";
            o["value"] = rawValue(gradient);
            break;
        case Kind::solidColor:
            o["type"] = "solidColor";
            o["value"] = color;
            break;
        case Kind::dark:
            o["type"] = "dark";
            break;
    }
    return o;
}

AdDesign AdDesign::fromJson(const json& j) {
    J::requireObject(j, "AdDesign");
    AdDesign d;
    d.headline = J::required<string>(j, "headline");
    d.subtext = J::required<string>(j, "subtext");
    d.emoji = J::required<string>(j, "emoji");
    d.fontPreset = strictEnum<AdFontPreset>(j, "fontPreset");
    d.backgroundStyle = J::requiredRecord<AdBackground>(j, "backgroundStyle");
    d.textColor = J::required<string>(j, "textColor");
    d.accentColor = J::required<string>(j, "accentColor");
    d.showLogo = J::required<bool>(j, "showLogo");
    return d;
}

ordered_json AdDesign::toJson() const {
    ordered_json o;
    o["headline"] = headline;
    o["subtext"] = subtext;
    o["emoji"] = emoji;
    o["fontPreset"] = rawValue(fontPreset);
    o["backgroundStyle"] = backgroundStyle.toJson();
    o["textColor"] = textColor;
    o["accentColor"] = accentColor;
    o["showLogo"] = showLogo;
    return o;
}

AdSchedule AdSchedule::fromJson(const json& j) {
    J::requireObject(j, "AdSchedule");
    AdSchedule s;
    s.mode = strictEnum<AdScheduleMode>(j, "mode");
    s.intervalMinutes = J::required<int64_t>(j, "intervalMinutes");
    s.durationSeconds = J::required<int64_t>(j, "durationSeconds");
    s.startDelay = J::required<int64_t>(j, "startDelay");
    return s;
}

ordered_json AdSchedule::toJson() const {
    ordered_json o;
    o["mode"] = rawValue(mode);
    o["intervalMinutes"] = intervalMinutes;
    o["durationSeconds"] = durationSeconds;
    o["startDelay"] = startDelay;
    return o;
}

EventAd EventAd::fromJson(const json& j) {
    J::requireObject(j, "EventAd");
    EventAd a;
    a.id = J::required<string>(j, "id");
    a.name = J::required<string>(j, "name");
    a.type = strictEnum<AdContentType>(j, "type");
    a.imageUrl = J::optional<string>(j, "imageUrl");
    a.design = J::optionalRecord<AdDesign>(j, "design");
    a.displayMode = strictEnum<AdDisplayMode>(j, "displayMode");
    a.schedule = J::requiredRecord<AdSchedule>(j, "schedule");
    a.isEnabled = J::required<bool>(j, "isEnabled");
    a.showCount = J::required<int64_t>(j, "showCount");
    const json* created = J::find(j, "createdAt");
    if (!created) throw DecodeError("missing key \"createdAt\"");
    auto date = parseDate(*created);
    if (!date) throw DecodeError("invalid date for key \"createdAt\"");
    a.createdAt = *date;
    a.showInOverlay = J::required<bool>(j, "showInOverlay");
    return a;
}

ordered_json EventAd::toJson() const {
    ordered_json o;
    o["id"] = id;
    o["name"] = name;
    o["type"] = rawValue(type);
    J::putOptional(o, "imageUrl", imageUrl);
    if (design) o["design"] = design->toJson();
    o["displayMode"] = rawValue(displayMode);
    o["schedule"] = schedule.toJson();
    o["isEnabled"] = isEnabled;
    o["showCount"] = showCount;
    o["createdAt"] = formatDate(createdAt);
    o["showInOverlay"] = showInOverlay;
    return o;
}

EventAd EventAd::fromBackendJson(const json& j) {
    J::requireObject(j, "ad");
    EventAd a;
    const json* id = J::find(j, "id");
    if (id && id->is_string() && !id->get<string>().empty())
        a.id = id->get<string>();
    else if (id && id->is_number_integer())
        a.id = id->dump();
    else
        throw DecodeError("missing key \"id\"");
    a.name = lenientString(j, "name", "Werbung");
    a.displayMode = lenientEnum(j, "display_mode", AdDisplayMode::banner);
    a.showCount = std::max<int64_t>(0, lenientInt(j, "show_count", 0));
    a.showInOverlay = lenientBool(j, "show_in_overlay", false);
    a.isEnabled = lenientBool(j, "is_enabled", true);
    a.schedule.mode = lenientEnum(j, "schedule_mode", AdScheduleMode::manual);
    a.schedule.intervalMinutes = lenientInt(j, "interval_minutes", a.schedule.intervalMinutes);
    a.schedule.durationSeconds = lenientInt(j, "duration_seconds", a.schedule.durationSeconds);
    a.schedule.startDelay = lenientInt(j, "start_delay", a.schedule.startDelay);
    const json* created = J::find(j, "created_at");
    a.createdAt = (created ? parseDate(*created) : std::nullopt).value_or(Clock::now());
    auto image = lenientString(j, "image_url", "");
    if (!image.empty()) a.imageUrl = image;

    const json* d = J::find(j, "design");
    if (d && d->is_object()) {
        AdDesign design;
        auto bg = lenientString(*d, "bgType", "gradient");
        if (bg == "solidColor")
            design.backgroundStyle = AdBackground::solid(lenientString(*d, "solidColorHex", "#6B21A8"));
        else if (bg == "dark")
            design.backgroundStyle = AdBackground::dark();
        else
            design.backgroundStyle =
                AdBackground::makeGradient(lenientEnum(*d, "gradientPreset", AdGradientPreset::purple));
        design.headline = lenientString(*d, "headline", "");
        design.subtext = lenientString(*d, "subtext", "");
        design.emoji = lenientString(*d, "emoji", "");
        design.fontPreset = lenientEnum(*d, "fontPreset", AdFontPreset::modern);
        design.textColor = lenientString(*d, "textColor", "#ffffff");
        design.accentColor = lenientString(*d, "accentColor", "#F59E0B");
        design.showLogo = lenientBool(*d, "showLogo", false);
        a.design = design;
    }
    auto type = lenientString(j, "type", "");
    if (auto t = fromRaw<AdContentType>(type))
        a.type = *t;
    else
        a.type = (!a.design && a.imageUrl) ? AdContentType::image : AdContentType::designed;
    return a;
}

ordered_json EventAd::toBackendJson() const {
    ordered_json o;
    o["id"] = id;
    o["name"] = name;
    o["type"] = rawValue(type);
    if (imageUrl) o["image_url"] = *imageUrl;
    o["display_mode"] = rawValue(displayMode);
    o["show_count"] = showCount;
    o["show_in_overlay"] = showInOverlay;
    o["is_enabled"] = isEnabled;
    o["schedule_mode"] = rawValue(schedule.mode);
    o["interval_minutes"] = schedule.intervalMinutes;
    o["duration_seconds"] = schedule.durationSeconds;
    o["start_delay"] = schedule.startDelay;
    o["created_at"] = formatDate(createdAt);
    if (design) {
        ordered_json d;
        switch (design->backgroundStyle.kind) {
            case AdBackground::Kind::gradient:
                d["bgType"] = "gradient";
                d["gradientPreset"] = rawValue(design->backgroundStyle.gradient);
                break;
            case AdBackground::Kind::solidColor:
                d["bgType"] = "solidColor";
                d["solidColorHex"] = design->backgroundStyle.color;
                break;
            case AdBackground::Kind::dark:
                d["bgType"] = "dark";
                break;
        }
        d["headline"] = design->headline;
        d["subtext"] = design->subtext;
        d["emoji"] = design->emoji;
        d["fontPreset"] = rawValue(design->fontPreset);
        d["textColor"] = design->textColor;
        d["accentColor"] = design->accentColor;
        d["showLogo"] = design->showLogo;
        o["design"] = d;
    }
    return o;
}

// ---- HTML -----------------------------------------------------------------------------------

bool isHexColor(std::string_view s) {
    if (s.size() < 4 || s[0] != '#') return false;
    auto n = s.size() - 1;
    if (n != 3 && n != 4 && n != 6 && n != 8) return false;
    for (char c : s.substr(1))
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

namespace {

string color(std::string_view c, std::string_view fallback) { return string(isHexColor(c) ? c : fallback); }

// Picture addresses the pages may load: web addresses and inline images, nothing scriptable.
bool isSafeImageUrl(std::string_view u) {
    auto starts = [&](std::string_view p) {
        if (u.size() < p.size()) return false;
        for (size_t i = 0; i < p.size(); ++i)
            if (std::tolower(static_cast<unsigned char>(u[i])) != p[i]) return false;
        return true;
    };
    return starts("https://") || starts("http://") || starts("data:image/");
}

struct FontStyle {
    const char* family;
    int weight;
    const char* extra;
};

FontStyle fontStyle(AdFontPreset p) {
    switch (p) {
        case AdFontPreset::modern:
            return {"'Inter','Helvetica Neue',Arial,sans-serif", 700, ""};
        case AdFontPreset::elegant:
            return {"'Playfair Display',Georgia,'Times New Roman',serif", 600, "font-style:italic;"};
        case AdFontPreset::energetic:
            return {"'Bebas Neue',Impact,'Arial Narrow',sans-serif", 400,
                    "text-transform:uppercase;letter-spacing:.04em;"};
        case AdFontPreset::minimal:
            return {"'Helvetica Neue',Arial,sans-serif", 400, "letter-spacing:.02em;"};
        case AdFontPreset::neon:
            return {"'Orbitron','Exo 2',sans-serif", 700, ""};
    }
    return {"sans-serif", 700, ""};
}

}  // namespace

std::string renderAdHtml(const EventAd& ad, AdHtmlStyle style, const std::optional<std::string>& logoUrl) {
    const bool full = ad.displayMode == AdDisplayMode::interstitial;
    const std::string modeClass = full ? "fv-ad-interstitial" : "fv-ad-banner";
    if (ad.type == AdContentType::image) {
        if (!ad.imageUrl || !isSafeImageUrl(*ad.imageUrl)) throw AdError(AdErrorCode::noImage);
        return "<div class=\"fv-ad fv-ad-image " + modeClass + "\"><img src=\"" + htmlEscape(*ad.imageUrl) +
               "\" alt=\"" + htmlEscape(ad.name) +
               "\" style=\"display:block;max-width:100%;height:auto;border-radius:" +
               (style == AdHtmlStyle::original ? "12px" : "inherit") + "\"></div>";
    }
    if (!ad.design) throw AdError(AdErrorCode::noDesign);
    const AdDesign& d = *ad.design;
    const string text = color(d.textColor, "#ffffff");
    const string accent = color(d.accentColor, "#F59E0B");
    const FontStyle font = fontStyle(d.fontPreset);

    string background;
    switch (d.backgroundStyle.kind) {
        case AdBackground::Kind::gradient: {
            auto [from, to] = gradientColors(d.backgroundStyle.gradient);
            background = fmt::format("linear-gradient(135deg,{},{})", from, to);
            break;
        }
        case AdBackground::Kind::solidColor:
            background = color(d.backgroundStyle.color, "#6B21A8");
            break;
        case AdBackground::Kind::dark:
            background = "#0B0B12";
            break;
    }

    string box = fmt::format("font-family:{};text-align:center;", font.family);
    if (style == AdHtmlStyle::original) {
        box += fmt::format(
            "background:{};color:{};border-radius:16px;padding:{};box-shadow:0 8px 30px rgba(0,0,0,.35);", background,
            text,
            full ? "48px 32px;min-height:60vh;display:flex;flex-direction:column;justify-content:center" : "18px 22px");
    }
    const string glow =
        d.fontPreset == AdFontPreset::neon ? fmt::format("text-shadow:0 0 8px {0},0 0 18px {0};", accent) : "";

    string h = "<div class=\"fv-ad fv-ad-designed " + modeClass + "\" style=\"" + box + "\">";
    if (d.showLogo && logoUrl && isSafeImageUrl(*logoUrl))
        h += "<img class=\"fv-ad-logo\" src=\"" + htmlEscape(*logoUrl) +
             "\" alt=\"\" style=\"display:block;margin:0 auto 10px;max-height:56px;max-width:60%\">";
    if (!d.emoji.empty())
        h += fmt::format(
            "<div class=\"fv-ad-emoji\" style=\"font-size:{}px;line-height:1.1;margin-bottom:6px\">{}</div>",
            full ? 64 : 34, htmlEscape(d.emoji));
    if (!d.headline.empty())
        h += fmt::format(
            "<div class=\"fv-ad-headline\" "
            "style=\"font-size:{}px;font-weight:{};line-height:1.15;color:{};{}{}\">{}</div>",
            full ? 44 : 26, font.weight, style == AdHtmlStyle::original ? accent : "inherit", font.extra, glow,
            htmlEscape(d.headline));
    if (!d.subtext.empty())
        h += fmt::format(
            "<div class=\"fv-ad-subtext\" "
            "style=\"font-size:{}px;line-height:1.35;margin-top:6px;opacity:.92\">{}</div>",
            full ? 22 : 16, htmlEscape(d.subtext));
    h += "</div>";
    return h;
}

std::string overlayAdHtml(const EventAd& ad, const OverlayConfig& config, const std::optional<std::string>& logoUrl) {
    return renderAdHtml(ad, config.adWidgetUseOriginalDesign ? AdHtmlStyle::original : AdHtmlStyle::content, logoUrl);
}

}  // namespace fv::overlay
