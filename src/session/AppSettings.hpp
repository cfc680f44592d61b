#pragma once
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cdjlink/CDJModels.hpp"
#include "core/Json.hpp"
#include "session/Records.hpp"

namespace fv {

class DefaultsStore;

enum class ServerMode { production, development, dedicated };
enum class AppearanceMode { system, light, dark };
std::string_view toString(ServerMode m);
std::string_view toString(AppearanceMode m);
std::optional<ServerMode> serverModeFromString(std::string_view s);
std::optional<AppearanceMode> appearanceModeFromString(std::string_view s);

struct ReplyTemplate {
    std::string id;  // made fresh on creation and on every load; never stored
    std::string text;
    std::string language;

    ReplyTemplate();
    ReplyTemplate(std::string text, std::string language);
    static ReplyTemplate fromJson(const json& j);
    json toJson() const;
};

// The user's settings: one JSON document under "appSettings" in the defaults store.
struct AppSettings {
    static constexpr const char* storeKey = "appSettings";
    static constexpr int currentVersion = 3;

    std::string activeEventId;
    std::string djName;
    std::string djPin;
    int64_t pollIntervalSecs = 3;
    bool notifyOnNewRequest = false;
    bool notifyOnMessage = true;
    bool notifyOnTipClick = true;
    bool soundEnabled = true;
    bool quickTipsEnabled = true;
    std::string acceptedTermsVersion;
    std::string lastRekordboxPath;
    std::string lastRekordboxBookmark;  // binary
    std::string lastRekordboxAppSupportPath;
    std::string lastRekordboxAppSupportBookmark;  // binary
    std::string lastSeratoPath;
    std::string lastSeratoBookmark;  // binary
    std::string lastVirtualDJPath;
    std::string lastVirtualDJBookmark;  // binary
    // VirtualDJ's network-control port (the plugin lets users choose; 80 unless set) and the
    // folder holding Mixxx's library database.
    int64_t virtualDJPort = 80;
    std::string lastMixxxPath;
    std::string musicLibraryPath;  // the Music library's XML export
    double windowWidth = 1200;
    double windowHeight = 800;
    bool developerModeEnabled = false;
    std::string lastKnownRole = "user";
    ServerMode serverMode = ServerMode::production;
    std::string dedicatedServerURL;
    AppearanceMode appearanceMode = AppearanceMode::system;
    std::string language = "de";
    int64_t settingsVersion = currentVersion;
    std::vector<ReplyTemplate> replyTemplates;
    std::vector<ReplyTemplate> guestMessageTemplates;
    std::vector<ReplyTemplate> broadcastTemplates;
    double messageFontSize = 14;  // not stored
    std::string overlayConfigData;  // binary: the overlay configuration as JSON bytes
    std::map<std::string, std::string> playlistExportFolders;
    std::string tidalClientToken;
    std::string spotifyClientId;
    std::string spotifyClientSecret;
    std::string djEmail;
    bool cdjLibraryEnabled = false;
    // The link settings document, carried through load and save unchanged.
    cdj::CDJLinkSettings cdjLinkSettings;
    // The control panel's port on 127.0.0.1 (0: any free one).
    int64_t panelPort = 8766;
    // Where the stream overlay listens: loopback, or an address of this computer ("0.0.0.0" for
    // all) so that a streaming computer elsewhere on the network can show it.
    std::string overlayListenAddress = "127.0.0.1";

    static AppSettings fromJson(const json& j);
    ordered_json toJson() const;

    // Defaults when nothing is stored or the stored document does not decode (it is left as it is).
    static AppSettings load();
    static AppSettings load(const DefaultsStore& store);
    // Writes the whole document; an encoding failure writes nothing.
    void save() const;
    void save(DefaultsStore& store) const;
    // Load, change and save under one write lock, so another process's change in between is not lost.
    // saved, when given, tells whether the store took the new document.
    static AppSettings modify(const std::function<void(AppSettings&)>& fn, bool* saved = nullptr);
    static AppSettings modify(DefaultsStore& store, const std::function<void(AppSettings&)>& fn,
                              bool* saved = nullptr);

    // The backend base URL of the moment (scheme and host, no trailing slash).
    std::string serverURL() const;

    // Set after a successful handoff to a dedicated server; cleared on logout and on leaving it.
    static void setDedicatedOverride(std::optional<std::string> url);
    static std::optional<std::string> dedicatedOverride();

    // Compiled-in endpoints, overridden by FLOORVOTE_PRODUCTION_URL / FLOORVOTE_DEVELOPMENT_URL.
    static std::string productionURL();
    static std::string developmentURL();

    // Brings an older stored document to the current version; run once before the first load.
    static void migrateIfNeeded();
    static void migrateIfNeeded(DefaultsStore& store);
};

// The locally kept list of events the DJ has used, under "savedEvents".
struct SavedEvents {
    static constexpr const char* storeKey = "savedEvents";
    static std::vector<SavedEvent> loadAll();
    static std::vector<SavedEvent> loadAll(const DefaultsStore& store);
    static void saveAll(const std::vector<SavedEvent>& events);
    static void saveAll(DefaultsStore& store, const std::vector<SavedEvent>& events);
    // Replaces the entry with the same id in place, or appends.
    static void upsert(const SavedEvent& event);
    static void upsert(DefaultsStore& store, const SavedEvent& event);
};

}  // namespace fv
