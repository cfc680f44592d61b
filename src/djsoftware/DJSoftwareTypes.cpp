#include "djsoftware/DJSoftwareTypes.hpp"

#include <nlohmann/json.hpp>

#include "core/Json.hpp"
#include "core/Strings.hpp"
#include "djsoftware/DJSoftwareBridge.hpp"
#include "session/AppSettings.hpp"

namespace fv {

std::string_view rawValue(DJSoftwareType t) {
    switch (t) {
        case DJSoftwareType::rekordbox: return "rekordbox";
        case DJSoftwareType::serato: return "serato";
        case DJSoftwareType::virtualDJ: return "virtualdj";
        case DJSoftwareType::spotify: return "spotify";
        case DJSoftwareType::appleMusic: return "applemusic";
        case DJSoftwareType::mixxx: return "mixxx";
    }
    return "";
}

std::string_view displayName(DJSoftwareType t) {
    switch (t) {
        case DJSoftwareType::rekordbox: return "Rekordbox";
        case DJSoftwareType::serato: return "Serato DJ";
        case DJSoftwareType::virtualDJ: return "VirtualDJ";
        case DJSoftwareType::spotify: return "Spotify";
        case DJSoftwareType::appleMusic: return "Apple Music";
        case DJSoftwareType::mixxx: return "Mixxx";
    }
    return "";
}

std::optional<DJSoftwareType> djSoftwareTypeFromRaw(std::string_view raw) {
    for (auto t : allDJSoftwareTypes)
        if (rawValue(t) == raw) return t;
    return std::nullopt;
}

void to_json(nlohmann::json& j, DJSoftwareType t) { j = std::string(rawValue(t)); }

void from_json(const nlohmann::json& j, DJSoftwareType& t) {
    if (!j.is_string()) throw DecodeError("DJ software: expected a string");
    auto v = djSoftwareTypeFromRaw(j.get<std::string>());
    if (!v) throw DecodeError("unknown DJ software \"" + j.get<std::string>() + "\"");
    t = *v;
}

std::string BridgeStatus::labelKey() const {
    switch (kind_) {
        case Kind::notConfigured: return "rekordbox_status_not_configured";
        case Kind::autoDetected: return "rekordbox_status_auto_detected";
        case Kind::configured: return "rekordbox_status_configured";
        case Kind::accessDenied: return "rekordbox_status_access_denied";
        case Kind::unreachable: return "rekordbox_status_unreachable";
        case Kind::dbAccessFailed: return "rekordbox_status_db_failed";
        case Kind::connected: return "rekordbox_status_connected";
    }
    return "";
}

std::string BridgeStatus::label() const {
    std::string text = tr(labelKey());
    if (kind_ == Kind::connected && !detail_.empty()) text += " (" + detail_ + ")";
    return text;
}

DJBridgeError DJBridgeError::softwareNotAvailable(DJSoftwareType t) {
    return {Kind::softwareNotAvailable, std::string(displayName(t)) + " ist nicht verfügbar oder nicht konfiguriert.", t,
            {}};
}
DJBridgeError DJBridgeError::softwareRunning(DJSoftwareType t) {
    std::string name(displayName(t));
    return {Kind::softwareRunning, name + " ist geöffnet. Bitte schließe " + name + " vor Schreiboperationen.", t, {}};
}
DJBridgeError DJBridgeError::playlistCreationFailed(const std::string& text) {
    return {Kind::playlistCreationFailed, "Playlist konnte nicht erstellt werden: " + text, {}, text};
}
DJBridgeError DJBridgeError::trackNotFound(const std::string& id) {
    return {Kind::trackNotFound, "Track nicht in der DJ-Software gefunden (ID: " + id + ")", {}, id};
}
DJBridgeError DJBridgeError::playlistNotFound(const std::string& id) {
    return {Kind::playlistNotFound, "Playlist nicht in der DJ-Software gefunden (ID: " + id + ")", {}, id};
}
DJBridgeError DJBridgeError::writeAccessDenied(const std::string& text) {
    return {Kind::writeAccessDenied, "Kein Schreibzugriff auf DJ-Software: " + text, {}, text};
}
DJBridgeError DJBridgeError::networkError(const std::string& text) {
    return {Kind::networkError, "Verbindungsfehler zur DJ-Software: " + text, {}, text};
}

BridgeStatus DJSoftwareBridge::configure(const AppSettings&) { return BridgeStatus::notConfigured(); }

DJSoftwareBridge::Task<BridgeStatus> DJSoftwareBridge::refreshStatus(BridgeStatus configured) { co_return configured; }

}  // namespace fv
