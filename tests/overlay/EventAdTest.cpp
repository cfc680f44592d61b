#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include <gtest/gtest.h>

#include <boost/asio/co_spawn.hpp>

#include "core/MainLoop.hpp"
#include "overlay/AdService.hpp"
#include "overlay/EventAd.hpp"
#include "platform/DefaultsStore.hpp"
#include "support/TestSupport.hpp"

using namespace fv;
using namespace fv::overlay;
using namespace std::chrono_literals;

namespace {

// Records the calls and answers like the backend does.
class RecordingBackend : public AdBackend {
public:
    json listAnswer = json{{"ads", json::array()}};
    json createAnswer;
    bool failShow = false;
    struct Show {
        std::string event, html, type;
        int64_t duration;
    };
    std::vector<Show> shows;
    std::vector<json> created;
    int hides = 0;

    Task<json> listAds() override { co_return listAnswer; }
    Task<json> createAd(const json& ad) override {
        created.push_back(ad);
        co_return createAnswer.is_null() ? json{{"ad", ad}} : createAnswer;
    }
    Task<json> duplicateAd(const std::string& id) override {
        co_return json{{"ad", {{"id", id + "-copy"}, {"name", "Kopie"}}}};
    }
    Task<json> showAd(const std::string& eventId, const std::string& html, const std::string& type,
                      int64_t durationSeconds) override {
        if (failShow) throw std::runtime_error("Server error (500)");
        shows.push_back({eventId, html, type, durationSeconds});
        co_return json::object();
    }
    Task<void> hideAd(const std::string&) override {
        ++hides;
        co_return;
    }
};

template <typename T>
T run(asio::awaitable<T> task) {
    std::optional<T> value;
    std::exception_ptr error;
    bool done = false;
    asio::co_spawn(MainLoop::shared().context(), std::move(task), [&](std::exception_ptr e, T v) {
        error = e;
        if (!e) value = std::move(v);
        done = true;
    });
    EXPECT_TRUE(MainLoop::shared().runUntil([&] { return done; }, 5000ms));
    if (error) std::rethrow_exception(error);
    return std::move(*value);
}
void run(asio::awaitable<void> task) {
    run([](asio::awaitable<void> t) -> asio::awaitable<bool> {
        co_await std::move(t);
        co_return true;
    }(std::move(task)));
}

EventAd designedAd(std::string id) {
    EventAd a;
    a.id = std::move(id);
    a.name = "Happy Hour";
    a.type = AdContentType::designed;
    AdDesign d;
    d.headline = "Happy Hour";
    d.subtext = "Alle Cocktails 5 \u20AC";
    d.emoji = "\U0001F379";
    a.design = d;
    a.createdAt = EventAd::Clock::time_point(std::chrono::seconds(1717000000));
    return a;
}

}  // namespace

TEST(EventAd, BackendFormDecodesWithItsDefaults) {
    EventAd a = EventAd::fromBackendJson(json{{"id", 17}, {"design", json::object()}});
    EXPECT_EQ(a.id, "17");
    EXPECT_EQ(a.name, "Werbung");
    EXPECT_EQ(a.type, AdContentType::designed);
    EXPECT_EQ(a.displayMode, AdDisplayMode::banner);
    EXPECT_EQ(a.schedule.mode, AdScheduleMode::manual);
    EXPECT_EQ(a.showCount, 0);
    EXPECT_FALSE(a.showInOverlay);
    ASSERT_TRUE(a.design);
    EXPECT_EQ(a.design->textColor, "#ffffff");
    EXPECT_EQ(a.design->accentColor, "#F59E0B");
    EXPECT_EQ(a.design->backgroundStyle, AdBackground::makeGradient(AdGradientPreset::purple));

    EventAd b = EventAd::fromBackendJson(
        json{{"id", "ad-1"},
             {"name", "Sponsor"},
             {"display_mode", "interstitial"},
             {"show_count", 4},
             {"show_in_overlay", 1},
             {"schedule_mode", "interval"},
             {"created_at", "2024-05-30T20:15:00.250+02:00"},
             {"design", {{"bgType", "solidColor"}, {"headline", "Bier"}, {"fontPreset", "neon"}, {"showLogo", true}}}});
    EXPECT_EQ(b.displayMode, AdDisplayMode::interstitial);
    EXPECT_EQ(b.showCount, 4);
    EXPECT_TRUE(b.showInOverlay);
    EXPECT_EQ(b.schedule.mode, AdScheduleMode::interval);
    EXPECT_EQ(formatDate(b.createdAt), "2024-05-30T18:15:00.250Z");
    EXPECT_EQ(b.design->backgroundStyle, AdBackground::solid("#6B21A8"));
    EXPECT_EQ(b.design->fontPreset, AdFontPreset::neon);
    EXPECT_TRUE(b.design->showLogo);

    // Unknown backend values take the default; an image ad without a design is an image ad.
    EventAd c =
        EventAd::fromBackendJson(json{{"id", "x"}, {"display_mode", "popup"}, {"image_url", "https://i/x.png"}});
    EXPECT_EQ(c.displayMode, AdDisplayMode::banner);
    EXPECT_EQ(c.type, AdContentType::image);
    EXPECT_THROW(EventAd::fromBackendJson(json{{"name", "no id"}}), DecodeError);

    // The backend form round-trips through what we send.
    EventAd d = designedAd("ad-9");
    d.design->backgroundStyle = AdBackground::dark();
    d.schedule = {AdScheduleMode::continuous, 5, 20, 2};
    EXPECT_EQ(EventAd::fromBackendJson(json::parse(d.toBackendJson().dump())), d);
}

TEST(EventAd, LocalFormIsStrictAndRoundTrips) {
    EventAd a = designedAd("ad-1");
    a.design->backgroundStyle = AdBackground::solid("#112233");
    json j = json::parse(a.toJson().dump());
    EXPECT_EQ(EventAd::fromJson(j), a);
    EXPECT_EQ(j["design"]["backgroundStyle"].dump(), R"({"type":"solidColor","value":"#112233"})");
    EXPECT_EQ(j["createdAt"], "2024-05-29T16:26:40Z");
    EXPECT_EQ(AdBackground::dark().toJson().dump(), R"({"type":"dark"})");
    EXPECT_EQ(AdBackground::makeGradient(AdGradientPreset::teal).toJson().dump(),
              R"({"type":"gradient","value":"teal"})");

    json bad = j;
    bad["displayMode"] = "popup";
    EXPECT_THROW(EventAd::fromJson(bad), DecodeError);
    bad = j;
    bad["design"]["backgroundStyle"] = {{"type", "gradient"}, {"value", "blue"}};
    EXPECT_THROW(EventAd::fromJson(bad), DecodeError);
    bad = j;
    bad.erase("schedule");
    EXPECT_THROW(EventAd::fromJson(bad), DecodeError);
    // The platform's numeric date (seconds since 2001) reads as well.
    json numeric = j;
    numeric["createdAt"] = 738692800.0;
    EXPECT_EQ(EventAd::fromJson(numeric).createdAt, a.createdAt);
    EXPECT_FALSE(parseDate(json("30.05.2024")));
    EXPECT_FALSE(parseDate(json("2024-13-01T00:00:00Z")));
}

TEST(EventAd, HtmlEscapesEveryTextAndRefusesUnsafeValues) {
    EventAd a = designedAd("ad-1");
    a.design->headline = "<script>alert(1)</script>";
    a.design->subtext = "Tom & \"Jerry\" <b>";
    a.design->emoji = "<img src=x onerror=alert(2)>";
    a.design->textColor = "red;background:url(javascript:alert(3))";
    a.design->accentColor = "#ABCDEF";
    std::string html = renderAdHtml(a);
    EXPECT_EQ(html.find("<script"), std::string::npos);
    EXPECT_EQ(html.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("<b>"), std::string::npos);
    EXPECT_EQ(html.find("javascript"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(html.find("Tom &amp; &quot;Jerry&quot; &lt;b&gt;"), std::string::npos);
    EXPECT_NE(html.find("color:#ffffff"), std::string::npos);  // the unsafe colour fell back
    EXPECT_NE(html.find("color:#ABCDEF"), std::string::npos);
    EXPECT_NE(html.find("linear-gradient(135deg,#6B21A8,#A855F7)"), std::string::npos);

    // The overlay's own design drops the card's background.
    OverlayConfig c;
    c.adWidgetUseOriginalDesign = false;
    EXPECT_EQ(overlayAdHtml(a, c).find("background:"), std::string::npos);
    c.adWidgetUseOriginalDesign = true;
    EXPECT_NE(overlayAdHtml(a, c).find("background:"), std::string::npos);

    EventAd img;
    img.id = "i";
    img.name = "Logo \"X\"";
    img.type = AdContentType::image;
    img.imageUrl = "https://cdn.example/ad.png?a=1&b=2";
    html = renderAdHtml(img);
    EXPECT_NE(html.find("src=\"https://cdn.example/ad.png?a=1&amp;b=2\""), std::string::npos);
    EXPECT_NE(html.find("alt=\"Logo &quot;X&quot;\""), std::string::npos);
    img.imageUrl = "javascript:alert(1)";
    EXPECT_THROW(renderAdHtml(img), AdError);

    EventAd empty;
    empty.type = AdContentType::designed;
    try {
        renderAdHtml(empty);
        ADD_FAILURE() << "a designed ad without a design rendered";
    } catch (const AdError& e) {
        EXPECT_EQ(e.code, AdErrorCode::noDesign);
        EXPECT_STREQ(e.what(), "Kein Design definiert");
    }
}

TEST(AdService, StoresActivatesAndTalksToTheBackend) {
    test::TempDir dir;
    DefaultsStore store(dir / "defaults.sqlite3");
    RecordingBackend backend;
    {
        AdService ads(store, &backend);
        EXPECT_TRUE(ads.ads.empty());
        backend.listAnswer = json{{"ads",
                                   {{{"id", "a1"}, {"name", "Eins"}, {"design", {{"headline", "Hallo"}}}},
                                    {{"name", "ohne id"}},
                                    {{"id", "a2"}, {"image_url", "https://x/y.png"}}}}};
        run(ads.refresh());
        ASSERT_EQ(ads.ads.size(), 2u);
        EXPECT_EQ(ads.ads[1].type, AdContentType::image);

        EventAd created = run(ads.create(designedAd("new-1")));
        EXPECT_EQ(created.id, "new-1");
        ASSERT_EQ(backend.created.size(), 1u);
        EXPECT_EQ(backend.created[0]["design"]["headline"], "Happy Hour");
        EXPECT_EQ(run(ads.duplicate("a1")).id, "a1-copy");
        EXPECT_EQ(ads.ads.size(), 4u);

        std::vector<std::string> activated;
        ads.onAdActivated = [&](const EventAd& ad) { activated.push_back(ad.id); };
        EXPECT_TRUE(run(ads.activate("new-1", "EVT")));
        ASSERT_EQ(backend.shows.size(), 1u);
        EXPECT_EQ(backend.shows[0].event, "EVT");
        EXPECT_EQ(backend.shows[0].type, "designed");
        EXPECT_EQ(backend.shows[0].duration, 10);
        EXPECT_NE(backend.shows[0].html.find("Happy Hour"), std::string::npos);
        EXPECT_EQ(ads.activeAdId, "new-1");
        EXPECT_EQ(activated, std::vector<std::string>{"new-1"});
        EXPECT_EQ(ads.find("new-1")->showCount, 1);
        EXPECT_FALSE(ads.isActivating);

        // A failed show reports, changes nothing and leaves the service ready for the next one.
        backend.failShow = true;
        EXPECT_THROW(run(ads.activate("a1", "EVT")), std::runtime_error);
        EXPECT_FALSE(ads.isActivating);
        EXPECT_EQ(ads.activeAdId, "new-1");
        EXPECT_EQ(ads.lastError, "Server error (500)");
        backend.failShow = false;
        EXPECT_THROW(run(ads.activate("nope", "EVT")), std::runtime_error);

        run(ads.hide("EVT"));
        EXPECT_EQ(backend.hides, 1);
        EXPECT_FALSE(ads.activeAdId);
    }
    // What was saved loads again under the same key.
    AdService again(store, nullptr);
    ASSERT_EQ(again.ads.size(), 4u);
    EXPECT_EQ(again.find("new-1")->showCount, 1);
    EXPECT_TRUE(store.get("floorvote_ads").has_value());

    // Unreadable stored data: an empty list, and the bytes are kept aside before a save.
    store.set("floorvote_ads", "[{\"id\": 1}]");
    AdService broken(store, nullptr);
    EXPECT_TRUE(broken.ads.empty());
    EXPECT_EQ(store.get(AdService::unreadableKey), "[{\"id\": 1}]");
}

TEST(AdService, TheScheduleShowsEnabledAdsInTurn) {
    test::TempDir dir;
    DefaultsStore store(dir / "defaults.sqlite3");
    RecordingBackend backend;
    AdService ads(store, &backend);
    ads.setMinute(100ms);  // one schedule minute
    for (const char* id : {"a", "b", "manual", "off"}) {
        EventAd ad = designedAd(id);
        ad.schedule.mode = std::string(id) == "manual" ? AdScheduleMode::manual : AdScheduleMode::interval;
        ad.schedule.intervalMinutes = 2;
        ad.schedule.durationSeconds = 7;
        ad.isEnabled = std::string(id) != "off";
        ads.ads.push_back(ad);
    }
    ads.ads[0].schedule.startDelay = 1;
    ads.setupSchedule("EVT");
    EXPECT_TRUE(ads.scheduleRunning());
    ASSERT_TRUE(MainLoop::shared().runUntil([&] { return backend.shows.size() >= 3; }, 5000ms));
    EXPECT_EQ(backend.shows[0].html, renderAdHtml(*ads.find("a")));
    EXPECT_EQ(backend.shows[1].html, renderAdHtml(*ads.find("b")));
    EXPECT_EQ(backend.shows[2].html, renderAdHtml(*ads.find("a")));
    EXPECT_EQ(backend.shows[0].duration, 7);

    // Setting it up again cancels the running one; cancelling stops it.
    ads.cancelSchedule();
    size_t seen = backend.shows.size();
    MainLoop::shared().runUntil([] { return false; }, 500ms);
    EXPECT_EQ(backend.shows.size(), seen);
    EXPECT_FALSE(ads.scheduleRunning());
    for (auto& a : ads.ads) a.isEnabled = false;
    ads.setupSchedule("EVT");
    EXPECT_FALSE(ads.scheduleRunning());
}
