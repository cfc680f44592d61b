#include <sys/stat.h>

#include <gtest/gtest.h>

#include "core/Base64.hpp"
#include "core/Files.hpp"
#include "platform/DefaultsStore.hpp"
#include "platform/SecretStore.hpp"
#include "session/AppSettings.hpp"
#include "session/KeychainService.hpp"
#include "support/TestSupport.hpp"

using namespace fv;

namespace {
struct Store {
    test::TempDir dir;
    DefaultsStore store{dir / "defaults.sqlite3"};
};
}  // namespace

TEST(AppSettingsLoad, FreshStartGivesDefaults) {
    Store s;
    auto a = AppSettings::load(s.store);
    EXPECT_EQ(a.pollIntervalSecs, 3);
    EXPECT_EQ(a.language, "de");
    EXPECT_EQ(a.lastKnownRole, "user");
    EXPECT_EQ(a.windowWidth, 1200);
    EXPECT_EQ(a.windowHeight, 800);
    EXPECT_EQ(a.settingsVersion, 3);
    EXPECT_FALSE(a.notifyOnNewRequest);
    EXPECT_TRUE(a.notifyOnMessage);
}

TEST(AppSettingsLoad, MissingBooleansAndIgnoredFontSize) {
    Store s;
    s.store.set("appSettings", R"({"settingsVersion":3,"messageFontSize":30})");
    auto a = AppSettings::load(s.store);
    EXPECT_FALSE(a.notifyOnNewRequest);
    EXPECT_TRUE(a.notifyOnMessage && a.notifyOnTipClick && a.soundEnabled && a.quickTipsEnabled);
    EXPECT_EQ(a.messageFontSize, 14);
    EXPECT_FALSE(a.toJson().contains("messageFontSize"));
}

TEST(AppSettingsLoad, LinkSettingsAreTypedWithTheirOwnDefaults) {
    Store s;
    s.store.set("appSettings", R"({"settingsVersion":3,"activeEventId":"ev1","cdjLinkSettings":{"dbPort":1052}})");
    auto a = AppSettings::load(s.store);
    EXPECT_EQ(a.cdjLinkSettings.dbPort, 1052);
    EXPECT_EQ(a.cdjLinkSettings.deviceName, cdj::CDJLinkSettings{}.deviceName);
    // An unknown raw value makes the document undecodable like any other bad field.
    s.store.set("appSettings", R"({"settingsVersion":3,"activeEventId":"ev1","cdjLinkSettings":{"column":"x"}})");
    EXPECT_EQ(AppSettings::load(s.store).activeEventId, "");
}

TEST(AppSettingsLoad, UndecodableDocumentGivesDefaultsAndIsLeftAlone) {
    Store s;
    for (const char* doc :
         {R"({"settingsVersion":3,"serverMode":"staging","djPin":"1"})", R"({"settingsVersion":3,"appearanceMode":"blue"})",
          R"({"settingsVersion":2,"pollIntervalSecs":"3"})", R"({"settingsVersion":2,"lastSeratoBookmark":"@@@"})",
          "not json", "[1,2]"}) {
        s.store.set("appSettings", doc);
        auto a = AppSettings::load(s.store);
        EXPECT_EQ(a.djPin, "") << doc;
        AppSettings::migrateIfNeeded(s.store);
        EXPECT_EQ(s.store.get("appSettings"), doc) << "migration must not repair or wipe it";
    }
}

TEST(AppSettingsSave, RoundTripIncludingBinaryAndNestedDocuments) {
    Store s;
    AppSettings a;
    a.djPin = "4711";
    a.lastSeratoBookmark = std::string("\x00\xff\x10", 3);
    a.overlayConfigData = R"({"enabled":true})";
    a.replyTemplates = {ReplyTemplate("Kommt gleich!", "de")};
    a.cdjLinkSettings.deviceName = "Booth";
    a.cdjLinkSettings.dbPort = 1052;
    a.playlistExportFolders = {{"serato", "/x"}};
    a.save(s.store);
    auto raw = json::parse(*s.store.get("appSettings"));
    EXPECT_EQ(raw["lastSeratoBookmark"], base64Encode(std::string("\x00\xff\x10", 3)));
    auto b = AppSettings::load(s.store);
    EXPECT_EQ(b.djPin, "4711");
    EXPECT_EQ(b.lastSeratoBookmark, a.lastSeratoBookmark);
    EXPECT_EQ(b.overlayConfigData, a.overlayConfigData);
    EXPECT_EQ(b.cdjLinkSettings, a.cdjLinkSettings);
    EXPECT_EQ(raw["cdjLinkSettings"]["deviceName"], "Booth");
    ASSERT_EQ(b.replyTemplates.size(), 1u);
    EXPECT_EQ(b.replyTemplates[0].text, "Kommt gleich!");
    // Template ids are made afresh on every load.
    EXPECT_NE(b.replyTemplates[0].id, a.replyTemplates[0].id);
    EXPECT_FALSE(raw["replyTemplates"][0].contains("id"));
}

TEST(AppSettingsMigration, VersionOneFlatDocument) {
    Store s;
    s.store.set("appSettings",
                R"({"djPin":"1234","djName":"DJ Kim","activeEventId":"ev1","pollIntervalSecs":5,
                    "notifyOnNewRequest":true,"windowWidth":"wide","unknownOld":1})");
    AppSettings::migrateIfNeeded(s.store);
    auto a = AppSettings::load(s.store);
    EXPECT_EQ(a.settingsVersion, 3);
    EXPECT_EQ(a.djPin, "1234");
    EXPECT_EQ(a.pollIntervalSecs, 5);
    EXPECT_TRUE(a.notifyOnNewRequest);
    EXPECT_EQ(a.windowWidth, 1200);
    auto events = SavedEvents::loadAll(s.store);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].id, "ev1");
    EXPECT_EQ(events[0].eventName, "DJ Kim");
    EXPECT_EQ(events[0].djName, "DJ Kim");
    EXPECT_EQ(events[0].createdAt.back(), 'Z');
    EXPECT_FALSE(events[0].lastUsedAt);
    // Running again changes nothing.
    AppSettings::migrateIfNeeded(s.store);
    EXPECT_EQ(SavedEvents::loadAll(s.store).size(), 1u);
}

TEST(AppSettingsMigration, VersionOneWithoutDjNameNamesTheEventById) {
    Store s;
    s.store.set("appSettings", R"({"activeEventId":"ev9"})");
    AppSettings::migrateIfNeeded(s.store);
    auto events = SavedEvents::loadAll(s.store);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].eventName, "ev9");
}

TEST(AppSettingsMigration, VersionTwoTakesThePinFromSavedEvents) {
    Store s;
    s.store.set("appSettings", R"({"settingsVersion":2,"djName":"X","activeEventId":"e2"})");
    s.store.set("savedEvents", R"([{"id":"e0","djPin":""},{"id":"e1","djPin":99},{"id":"e2","djPin":"8888"},
                                  {"id":"e3","djPin":"7777"}])");
    AppSettings::migrateIfNeeded(s.store);
    auto a = AppSettings::load(s.store);
    EXPECT_EQ(a.djPin, "8888");
    EXPECT_EQ(a.djName, "X");
    EXPECT_EQ(a.settingsVersion, 3);
}

TEST(ServerURL, EveryMode) {
    unsetenv("FLOORVOTE_PRODUCTION_URL");
    unsetenv("FLOORVOTE_DEVELOPMENT_URL");
    AppSettings a;
    const auto prod = AppSettings::productionURL();
    a.serverMode = ServerMode::development;
    EXPECT_EQ(a.serverURL(), prod);  // developer mode off
    a.developerModeEnabled = true;
    EXPECT_EQ(a.serverURL(), AppSettings::developmentURL());
    a.serverMode = ServerMode::dedicated;
    EXPECT_EQ(a.serverURL(), prod);  // empty dedicated URL
    a.dedicatedServerURL = "http://10.0.0.1:8080/";
    EXPECT_EQ(a.serverURL(), "http://10.0.0.1:8080");
    a.serverMode = ServerMode::production;
    EXPECT_EQ(a.serverURL(), prod);

    setenv("FLOORVOTE_PRODUCTION_URL", "http://127.0.0.1:9/", 1);
    setenv("FLOORVOTE_DEVELOPMENT_URL", "http://127.0.0.1:10", 1);
    EXPECT_EQ(a.serverURL(), "http://127.0.0.1:9");
    a.serverMode = ServerMode::development;
    EXPECT_EQ(a.serverURL(), "http://127.0.0.1:10");

    AppSettings::setDedicatedOverride("https://dedicated.example");
    EXPECT_EQ(AppSettings{}.serverURL(), "https://dedicated.example");
    AppSettings::setDedicatedOverride(std::nullopt);
    EXPECT_EQ(AppSettings{}.serverURL(), "http://127.0.0.1:9");
    unsetenv("FLOORVOTE_PRODUCTION_URL");
    unsetenv("FLOORVOTE_DEVELOPMENT_URL");
}

TEST(SavedEventsList, UpsertReplacesInPlaceOrAppends) {
    Store s;
    auto ev = [](std::string id, std::string name) {
        SavedEvent e;
        e.id = std::move(id);
        e.eventName = std::move(name);
        e.createdAt = "2026-01-01T00:00:00Z";
        return e;
    };
    SavedEvents::upsert(s.store, ev("a", "A"));
    SavedEvents::upsert(s.store, ev("b", "B"));
    SavedEvents::upsert(s.store, ev("c", "C"));
    SavedEvents::upsert(s.store, ev("b", "B2"));
    auto list = SavedEvents::loadAll(s.store);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[1].id, "b");
    EXPECT_EQ(list[1].eventName, "B2");
    s.store.set("savedEvents", R"([{"id":1}])");
    EXPECT_TRUE(SavedEvents::loadAll(s.store).empty());
}

TEST(Keychain, SaveReadDeleteAndFileMode) {
    test::TempDir dir;
    SecretStore secrets(dir / "floorvote/secrets.json");
    KeychainService kc("com.floorvote.app", secrets);
    EXPECT_FALSE(kc.read("refreshToken"));
    kc.save("refreshToken", "r1");
    kc.save("refreshToken", "r2");  // update in place
    kc.save("djUuid", "u1");
    EXPECT_EQ(kc.read("refreshToken"), "r2");
    EXPECT_EQ(kc.read("djUuid"), "u1");
    KeychainService other("other.service", secrets);
    EXPECT_FALSE(other.read("refreshToken"));
    kc.remove("refreshToken");
    kc.remove("refreshToken");  // a second delete is ignored
    EXPECT_FALSE(kc.read("refreshToken"));
    struct stat st {};
    ASSERT_EQ(stat((dir / "floorvote/secrets.json").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Keychain, ReadsNothingFromABrokenStore) {
    test::TempDir dir;
    test::writeFile(dir / "secrets.json", R"({"com.floorvote.app":{"refreshToken":5,"bad":"\u00ff"}})");
    SecretStore secrets(dir / "secrets.json");
    KeychainService kc("com.floorvote.app", secrets);
    EXPECT_FALSE(kc.read("refreshToken"));  // not a string
    test::writeFile(dir / "secrets.json", "{garbage");
    EXPECT_FALSE(kc.read("refreshToken"));
    // Saving over a damaged file keeps the damaged one aside instead of dropping what it held.
    kc.save("djUuid", "u2");
    EXPECT_EQ(kc.read("djUuid"), "u2");
    EXPECT_EQ(readFile(dir / "secrets.json.unreadable"), "{garbage");
    // A failed save (folder not writable) leaves nothing behind and does not throw.
    SecretStore nowhere("/proc/floorvote/secrets.json");
    KeychainService kc2("com.floorvote.app", nowhere);
    kc2.save("refreshToken", "x");
    EXPECT_FALSE(kc2.read("refreshToken"));
}
