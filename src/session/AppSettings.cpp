#include "session/AppSettings.hpp"

#include <arpa/inet.h>

#include <cstdlib>
#include <mutex>

#include "core/Base64.hpp"
#include "core/Log.hpp"
#include "core/Uuid.hpp"
#include "platform/DefaultsStore.hpp"

#ifndef FLOORVOTE_DEFAULT_PRODUCTION_URL
#define FLOORVOTE_DEFAULT_PRODUCTION_URL "https://api.floorvote.app"
#endif
#ifndef FLOORVOTE_DEFAULT_DEVELOPMENT_URL
#define FLOORVOTE_DEFAULT_DEVELOPMENT_URL "https://dev-api.floorvote.app"
#endif

namespace fv {

namespace J = jsonx;
using std::string;

std::string_view toString(ServerMode m) {
    switch (m) {
        case ServerMode::production: return "production";
        case ServerMode::development: return "development";
        case ServerMode::dedicated: return "dedicated";
    }
    return "production";
}

std::string_view toString(AppearanceMode m) {
    switch (m) {
        case AppearanceMode::system: return "system";
        case AppearanceMode::light: return "light";
        case AppearanceMode::dark: return "dark";
    }
    return "system";
}

std::optional<ServerMode> serverModeFromString(std::string_view s) {
    for (auto m : {ServerMode::production, ServerMode::development, ServerMode::dedicated})
        if (toString(m) == s) return m;
    return std::nullopt;
}

std::optional<AppearanceMode> appearanceModeFromString(std::string_view s) {
    for (auto m : {AppearanceMode::system, AppearanceMode::light, AppearanceMode::dark})
        if (toString(m) == s) return m;
    return std::nullopt;
}

ReplyTemplate::ReplyTemplate() : id(makeUuid()) {}
ReplyTemplate::ReplyTemplate(std::string t, std::string l) : id(makeUuid()), text(std::move(t)), language(std::move(l)) {}

ReplyTemplate ReplyTemplate::fromJson(const json& j) {
    J::requireObject(j, "ReplyTemplate");
    return ReplyTemplate(J::required<string>(j, "text"), J::required<string>(j, "language"));
}

json ReplyTemplate::toJson() const { return {{"text", text}, {"language", language}}; }

namespace {
string binary(const json& j, const char* key) {
    auto s = J::optional<string>(j, key);
    if (!s) return {};
    auto bytes = base64Decode(*s);
    if (!bytes) throw DecodeError(string("invalid Base64 data for key \"") + key + "\"");
    return *bytes;
}

std::vector<ReplyTemplate> templates(const json& j, const char* key) {
    const json* v = J::find(j, key);
    if (!v) return {};
    if (!v->is_array()) throw DecodeError(string("wrong type for key \"") + key + "\": expected array");
    std::vector<ReplyTemplate> out;
    for (const auto& e : *v) out.push_back(ReplyTemplate::fromJson(e));
    return out;
}

json templatesJson(const std::vector<ReplyTemplate>& v) {
    json a = json::array();
    for (const auto& t : v) a.push_back(t.toJson());
    return a;
}

std::mutex overrideMutex;
std::optional<string> overrideURL;

string trimSlash(string s) {
    while (!s.empty() && s.back() == '/') s.pop_back();
    return s;
}

string envOr(const char* var, const char* fallback) {
    const char* v = std::getenv(var);
    return trimSlash(v && *v ? v : fallback);
}
}  // namespace

AppSettings AppSettings::fromJson(const json& j) {
    J::requireObject(j, "AppSettings");
    AppSettings s;
    s.activeEventId = J::defaulted<string>(j, "activeEventId", "");
    s.djName = J::defaulted<string>(j, "djName", "");
    s.djPin = J::defaulted<string>(j, "djPin", "");
    s.pollIntervalSecs = J::defaulted<int64_t>(j, "pollIntervalSecs", 3);
    s.notifyOnNewRequest = J::defaulted<bool>(j, "notifyOnNewRequest", false);
    s.notifyOnMessage = J::defaulted<bool>(j, "notifyOnMessage", true);
    s.notifyOnTipClick = J::defaulted<bool>(j, "notifyOnTipClick", true);
    s.soundEnabled = J::defaulted<bool>(j, "soundEnabled", true);
    s.quickTipsEnabled = J::defaulted<bool>(j, "quickTipsEnabled", true);
    s.acceptedTermsVersion = J::defaulted<string>(j, "acceptedTermsVersion", "");
    s.lastRekordboxPath = J::defaulted<string>(j, "lastRekordboxPath", "");
    s.lastRekordboxBookmark = binary(j, "lastRekordboxBookmark");
    s.lastRekordboxAppSupportPath = J::defaulted<string>(j, "lastRekordboxAppSupportPath", "");
    s.lastRekordboxAppSupportBookmark = binary(j, "lastRekordboxAppSupportBookmark");
    s.lastSeratoPath = J::defaulted<string>(j, "lastSeratoPath", "");
    s.lastSeratoBookmark = binary(j, "lastSeratoBookmark");
    s.lastVirtualDJPath = J::defaulted<string>(j, "lastVirtualDJPath", "");
    s.lastVirtualDJBookmark = binary(j, "lastVirtualDJBookmark");
    s.virtualDJPort = J::defaulted<int64_t>(j, "virtualDJPort", 80);
    if (s.virtualDJPort < 1 || s.virtualDJPort > 65535)
        throw DecodeError("value " + std::to_string(s.virtualDJPort) + " for key \"virtualDJPort\" is not a port");
    s.lastMixxxPath = J::defaulted<string>(j, "lastMixxxPath", "");
    s.musicLibraryPath = J::defaulted<string>(j, "musicLibraryPath", "");
    s.windowWidth = J::defaulted<double>(j, "windowWidth", 1200);
    s.windowHeight = J::defaulted<double>(j, "windowHeight", 800);
    s.developerModeEnabled = J::defaulted<bool>(j, "developerModeEnabled", false);
    s.lastKnownRole = J::defaulted<string>(j, "lastKnownRole", "user");
    if (auto m = J::optional<string>(j, "serverMode")) {
        auto v = serverModeFromString(*m);
        if (!v) throw DecodeError("unknown value \"" + *m + "\" for key \"serverMode\"");
        s.serverMode = *v;
    }
    s.dedicatedServerURL = J::defaulted<string>(j, "dedicatedServerURL", "");
    if (auto m = J::optional<string>(j, "appearanceMode")) {
        auto v = appearanceModeFromString(*m);
        if (!v) throw DecodeError("unknown value \"" + *m + "\" for key \"appearanceMode\"");
        s.appearanceMode = *v;
    }
    s.language = J::defaulted<string>(j, "language", "de");
    // A stored document without a version is from the first, flat format.
    s.settingsVersion = J::defaulted<int64_t>(j, "settingsVersion", 1);
    s.replyTemplates = templates(j, "replyTemplates");
    s.guestMessageTemplates = templates(j, "guestMessageTemplates");
    s.broadcastTemplates = templates(j, "broadcastTemplates");
    s.messageFontSize = 14;
    s.overlayConfigData = binary(j, "overlayConfigData");
    s.playlistExportFolders = J::defaulted<std::map<string, string>>(j, "playlistExportFolders", {});
    s.tidalClientToken = J::defaulted<string>(j, "tidalClientToken", "");
    s.spotifyClientId = J::defaulted<string>(j, "spotifyClientId", "");
    s.spotifyClientSecret = J::defaulted<string>(j, "spotifyClientSecret", "");
    s.djEmail = J::defaulted<string>(j, "djEmail", "");
    s.cdjLibraryEnabled = J::defaulted<bool>(j, "cdjLibraryEnabled", false);
    if (const json* c = J::find(j, "cdjLinkSettings")) s.cdjLinkSettings = cdj::CDJLinkSettings::fromJson(*c);
    s.panelPort = J::defaulted<int64_t>(j, "panelPort", 8766);
    if (s.panelPort < 0 || s.panelPort > 65535) throw DecodeError("number for key \"panelPort\" is out of range");
    s.overlayListenAddress = J::defaulted<string>(j, "overlayListenAddress", "127.0.0.1");
    {
        unsigned char buf[16];
        if (inet_pton(AF_INET, s.overlayListenAddress.c_str(), buf) != 1 &&
            inet_pton(AF_INET6, s.overlayListenAddress.c_str(), buf) != 1)
            throw DecodeError("value for key \"overlayListenAddress\" is not an IP address");
    }
    return s;
}

ordered_json AppSettings::toJson() const {
    ordered_json o;
    o["activeEventId"] = activeEventId;
    o["djName"] = djName;
    o["djPin"] = djPin;
    o["pollIntervalSecs"] = pollIntervalSecs;
    o["notifyOnNewRequest"] = notifyOnNewRequest;
    o["notifyOnMessage"] = notifyOnMessage;
    o["notifyOnTipClick"] = notifyOnTipClick;
    o["soundEnabled"] = soundEnabled;
    o["quickTipsEnabled"] = quickTipsEnabled;
    o["acceptedTermsVersion"] = acceptedTermsVersion;
    o["lastRekordboxPath"] = lastRekordboxPath;
    o["lastRekordboxBookmark"] = base64Encode(lastRekordboxBookmark);
    o["lastRekordboxAppSupportPath"] = lastRekordboxAppSupportPath;
    o["lastRekordboxAppSupportBookmark"] = base64Encode(lastRekordboxAppSupportBookmark);
    o["lastSeratoPath"] = lastSeratoPath;
    o["lastSeratoBookmark"] = base64Encode(lastSeratoBookmark);
    o["lastVirtualDJPath"] = lastVirtualDJPath;
    o["lastVirtualDJBookmark"] = base64Encode(lastVirtualDJBookmark);
    o["virtualDJPort"] = virtualDJPort;
    o["lastMixxxPath"] = lastMixxxPath;
    o["musicLibraryPath"] = musicLibraryPath;
    o["windowWidth"] = windowWidth;
    o["windowHeight"] = windowHeight;
    o["developerModeEnabled"] = developerModeEnabled;
    o["lastKnownRole"] = lastKnownRole;
    o["serverMode"] = string(toString(serverMode));
    o["dedicatedServerURL"] = dedicatedServerURL;
    o["appearanceMode"] = string(toString(appearanceMode));
    o["language"] = language;
    o["settingsVersion"] = settingsVersion;
    o["replyTemplates"] = templatesJson(replyTemplates);
    o["guestMessageTemplates"] = templatesJson(guestMessageTemplates);
    o["broadcastTemplates"] = templatesJson(broadcastTemplates);
    o["overlayConfigData"] = base64Encode(overlayConfigData);
    o["playlistExportFolders"] = playlistExportFolders;
    o["tidalClientToken"] = tidalClientToken;
    o["spotifyClientId"] = spotifyClientId;
    o["spotifyClientSecret"] = spotifyClientSecret;
    o["djEmail"] = djEmail;
    o["cdjLibraryEnabled"] = cdjLibraryEnabled;
    o["cdjLinkSettings"] = cdjLinkSettings.toJson();
    o["panelPort"] = panelPort;
    o["overlayListenAddress"] = overlayListenAddress;
    return o;
}

namespace {
std::optional<AppSettings> decodeStored(const std::optional<string>& raw) {
    if (!raw) return std::nullopt;
    try {
        return AppSettings::fromJson(jsonx::parse(*raw));
    } catch (const DecodeError&) {
        return std::nullopt;
    }
}

std::optional<string> encode(const AppSettings& s) {
    try {
        return s.toJson().dump();
    } catch (const std::exception& e) {
        logLine("Settings", string("cannot encode the settings: ") + e.what());
        return std::nullopt;
    }
}
}  // namespace

AppSettings AppSettings::load() { return load(DefaultsStore::standard()); }

AppSettings AppSettings::load(const DefaultsStore& store) {
    if (auto s = decodeStored(store.get(storeKey))) return *s;
    return AppSettings{};
}

void AppSettings::save() const { save(DefaultsStore::standard()); }

void AppSettings::save(DefaultsStore& store) const {
    if (auto text = encode(*this)) store.set(storeKey, *text);
}

AppSettings AppSettings::modify(const std::function<void(AppSettings&)>& fn, bool* saved) {
    return modify(DefaultsStore::standard(), fn, saved);
}

AppSettings AppSettings::modify(DefaultsStore& store, const std::function<void(AppSettings&)>& fn, bool* saved) {
    AppSettings result;
    bool ok = store.update(storeKey, [&](const std::optional<string>& raw) -> std::optional<string> {
        result = decodeStored(raw).value_or(AppSettings{});
        fn(result);
        auto text = encode(result);
        return text ? text : raw;
    });
    if (saved) *saved = ok;
    return result;
}

std::string AppSettings::productionURL() {
    return envOr("FLOORVOTE_PRODUCTION_URL", FLOORVOTE_DEFAULT_PRODUCTION_URL);
}

std::string AppSettings::developmentURL() {
    return envOr("FLOORVOTE_DEVELOPMENT_URL", FLOORVOTE_DEFAULT_DEVELOPMENT_URL);
}

void AppSettings::setDedicatedOverride(std::optional<std::string> url) {
    std::lock_guard lock(overrideMutex);
    overrideURL = url ? std::optional<string>(trimSlash(*url)) : std::nullopt;
}

std::optional<std::string> AppSettings::dedicatedOverride() {
    std::lock_guard lock(overrideMutex);
    return overrideURL;
}

std::string AppSettings::serverURL() const {
    if (auto o = dedicatedOverride()) return *o;
    if (developerModeEnabled) {
        switch (serverMode) {
            case ServerMode::production: return productionURL();
            case ServerMode::development: return developmentURL();
            case ServerMode::dedicated:
                return dedicatedServerURL.empty() ? productionURL() : trimSlash(dedicatedServerURL);
        }
    }
    return productionURL();
}

void AppSettings::migrateIfNeeded() { migrateIfNeeded(DefaultsStore::standard()); }

void AppSettings::migrateIfNeeded(DefaultsStore& store) {
    auto raw = store.get(storeKey);
    if (!raw) return;
    json doc;
    try {
        doc = json::parse(*raw);
    } catch (...) {
        return;
    }
    if (!doc.is_object()) return;
    int64_t v = 1;
    if (auto it = doc.find("settingsVersion"); it != doc.end() && it->is_number_integer()) v = it->get<int64_t>();
    if (v >= currentVersion) return;

    if (v == 1) {
        AppSettings s;
        auto copyString = [&](const char* key, string& to) {
            if (auto it = doc.find(key); it != doc.end() && it->is_string()) to = it->get<string>();
        };
        auto copyBool = [&](const char* key, bool& to) {
            if (auto it = doc.find(key); it != doc.end() && it->is_boolean()) to = it->get<bool>();
        };
        auto copyBinary = [&](const char* key, string& to) {
            if (auto it = doc.find(key); it != doc.end() && it->is_string())
                if (auto b = base64Decode(it->get<string>())) to = *b;
        };
        copyString("djPin", s.djPin);
        copyString("djName", s.djName);
        copyString("activeEventId", s.activeEventId);
        if (auto it = doc.find("pollIntervalSecs"); it != doc.end() && it->is_number_integer())
            s.pollIntervalSecs = it->get<int64_t>();
        copyBool("notifyOnNewRequest", s.notifyOnNewRequest);
        copyBool("notifyOnMessage", s.notifyOnMessage);
        copyBool("notifyOnTipClick", s.notifyOnTipClick);
        copyBool("soundEnabled", s.soundEnabled);
        copyString("lastRekordboxPath", s.lastRekordboxPath);
        copyBinary("lastRekordboxBookmark", s.lastRekordboxBookmark);
        copyString("lastRekordboxAppSupportPath", s.lastRekordboxAppSupportPath);
        copyBinary("lastRekordboxAppSupportBookmark", s.lastRekordboxAppSupportBookmark);
        copyString("lastSeratoPath", s.lastSeratoPath);
        copyBinary("lastSeratoBookmark", s.lastSeratoBookmark);
        if (auto it = doc.find("windowWidth"); it != doc.end() && it->is_number()) s.windowWidth = it->get<double>();
        if (auto it = doc.find("windowHeight"); it != doc.end() && it->is_number()) s.windowHeight = it->get<double>();
        s.settingsVersion = currentVersion;
        s.save(store);
        if (!s.activeEventId.empty()) {
            auto events = SavedEvents::loadAll(store);
            bool known = false;
            for (const auto& e : events) known = known || e.id == s.activeEventId;
            if (!known) {
                SavedEvent e;
                e.id = s.activeEventId;
                e.eventName = s.djName.empty() ? s.activeEventId : s.djName;
                e.djName = s.djName;
                e.createdAt = isoNow();
                SavedEvents::upsert(store, e);
            }
        }
    }

    // Versions 1 and 2: take the PIN from the saved events when the settings have none.
    auto current = decodeStored(store.get(storeKey));
    if (!current) {
        // Saving defaults here would wipe a document we cannot read; leave it for the user's next save.
        logLine("Settings", "stored settings cannot be decoded; migration skipped");
        return;
    }
    if (current->djPin.empty()) {
        if (auto rawEvents = store.get(SavedEvents::storeKey)) {
            try {
                json events = json::parse(*rawEvents);
                if (events.is_array()) {
                    for (const auto& e : events) {
                        if (!e.is_object()) continue;
                        auto pin = e.find("djPin");
                        if (pin != e.end() && pin->is_string() && !pin->get<string>().empty()) {
                            current->djPin = pin->get<string>();
                            break;
                        }
                    }
                }
            } catch (...) {
            }
        }
    }
    current->settingsVersion = currentVersion;
    current->save(store);
}

// ---------------------------------------------------------------- saved events

namespace {
std::vector<SavedEvent> decodeEvents(const std::optional<string>& raw) {
    if (!raw) return {};
    try {
        json j = jsonx::parse(*raw);
        if (!j.is_array()) return {};
        std::vector<SavedEvent> out;
        for (const auto& e : j) out.push_back(SavedEvent::fromJson(e));
        return out;
    } catch (const DecodeError&) {
        return {};
    }
}

string encodeEvents(const std::vector<SavedEvent>& events) {
    json a = json::array();
    for (const auto& e : events) a.push_back(e.toJson());
    return a.dump();
}
}  // namespace

std::vector<SavedEvent> SavedEvents::loadAll() { return loadAll(DefaultsStore::standard()); }
std::vector<SavedEvent> SavedEvents::loadAll(const DefaultsStore& store) { return decodeEvents(store.get(storeKey)); }

void SavedEvents::saveAll(const std::vector<SavedEvent>& events) { saveAll(DefaultsStore::standard(), events); }
void SavedEvents::saveAll(DefaultsStore& store, const std::vector<SavedEvent>& events) {
    try {
        store.set(storeKey, encodeEvents(events));
    } catch (const std::exception& e) {
        logLine("Settings", string("cannot encode the saved events: ") + e.what());
    }
}

void SavedEvents::upsert(const SavedEvent& event) { upsert(DefaultsStore::standard(), event); }
void SavedEvents::upsert(DefaultsStore& store, const SavedEvent& event) {
    store.update(storeKey, [&](const std::optional<string>& raw) -> std::optional<string> {
        auto events = decodeEvents(raw);
        bool replaced = false;
        for (auto& e : events) {
            if (e.id == event.id) {
                e = event;
                replaced = true;
                break;
            }
        }
        if (!replaced) events.push_back(event);
        try {
            return encodeEvents(events);
        } catch (const std::exception&) {
            return raw;
        }
    });
}

}  // namespace fv
