// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "app/SessionOverlay.hpp"

#include "app/Commands.hpp"
#include "core/ErrorText.hpp"
#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "overlay/EventAd.hpp"
#include "overlay/OverlayControl.hpp"
#include "overlay/OverlayEvent.hpp"
#include "platform/DefaultsStore.hpp"
#include "session/APIClient.hpp"
#include "session/AppStore.hpp"

namespace fv::app {

namespace {

// The ad calls of the REST client, as the ad service wants them.
class ApiAdBackend : public overlay::AdBackend {
public:
    explicit ApiAdBackend(APIClient& api) : api_(api) {}
    Task<json> listAds() override { return api_.listAds(); }
    Task<json> createAd(const json& ad) override { return api_.createAd(ad); }
    Task<json> duplicateAd(const std::string& id) override { return api_.duplicateAd(id); }
    Task<json> showAd(const std::string& eventId, const std::string& html, const std::string& type,
                      int64_t durationSeconds) override {
        return api_.showAd(eventId, html, type, durationSeconds);
    }
    Task<void> hideAd(const std::string& eventId) override { return api_.hideAd(eventId); }

private:
    APIClient& api_;
};

std::optional<std::string> nowPlayingTitle(const AppStore& store) {
    if (store.event() && store.event()->nowPlaying && !store.event()->nowPlaying->trackTitle.empty())
        return store.event()->nowPlaying->trackTitle;
    return std::nullopt;
}

}  // namespace

SessionOverlay::SessionOverlay(AppStore& store, APIClient& api)
    : store_(store),
      backend_(std::make_unique<ApiAdBackend>(api)),
      ads_(std::make_unique<overlay::AdService>(DefaultsStore::standard(), backend_.get())) {}

SessionOverlay::~SessionOverlay() { stop(); }

void SessionOverlay::start() {
    try {
        config_ = overlay::OverlayConfig::fromData(store_.settings().overlayConfigData);
    } catch (const std::exception& e) {
        logLine("Overlay", std::string("stored configuration unreadable, overlay stays off: ") + e.what());
        return;
    }
    if (!config_.enabled) return;
    server_.setLiveDataEnabled(true);
    server_.setListenAddress(store_.settings().overlayListenAddress);
    refreshInitialState();
    if (!server_.start(config_)) {
        logLine("Overlay", "start failed: " + server_.lastError());
        complain("Stream-Overlay konnte nicht starten: " + germanError(server_.lastError()));
        return;
    }
    say("Stream-Overlay läuft: http://127.0.0.1:" + std::to_string(server_.port()) + "/");
    if (server_.reachableBeyondLoopback())
        say("Das Overlay ist auch im Netzwerk erreichbar (overlayListenAddress " + server_.listenAddress() + ").");

    store_.onNowPlaying = [this](const NowPlayingInfo& info) {
        auto [up, down] = store_.messageStore.voteTally(info.trackTitle);
        lastVotes_ = std::make_pair(up, down);
        server_.send(overlay::OverlayEvent::nowPlaying(info.trackTitle, info.trackArtist, up, down));
        refreshInitialState();
    };
    store_.onGuestCount = [this](int64_t count) {
        server_.send(overlay::OverlayEvent::guestCountChanged(count));
        refreshInitialState();
    };
    store_.onBroadcastSent = [this](const std::string& text) { server_.send(overlay::OverlayEvent::broadcast(text)); };
    auto confirmed = savedConfirmed_ = store_.onRequestConfirmed;
    store_.onRequestConfirmed = [this, confirmed](const MusicRequest& r) {
        if (confirmed) confirmed(r);
        server_.send(overlay::OverlayEvent::requestAccepted(
            r.title, r.artist, r.guestName.empty() ? std::nullopt : std::optional<std::string>(r.guestName)));
    };
    auto messagesChanged = savedMessagesChanged_ = store_.messageStore.onMessagesChanged;
    wrapped_ = true;
    store_.messageStore.onMessagesChanged = [this, messagesChanged] {
        if (messagesChanged) messagesChanged();
        sendVotesIfChanged();
    };
    ads_->onAdActivated = [this](const overlay::EventAd& ad) {
        if (ad.showInOverlay) server_.send(overlay::OverlayEvent::adShow(overlay::overlayAdHtml(ad, config_)));
    };
    // An ad started from elsewhere (the web dashboard) reaches the overlay through the channel.
    store_.onAdShow = [this](const json& shown) { showAdFromChannel(shown); };
    store_.onAdHide = [this] { ads_->activeAdId.reset(); };

    // `floorvote overlay send` and `overlay config set` reach this server as they reach `overlay serve`.
    std::string controlError;
    if (!control_.start(
            overlay::controlSocketPath(server_.port()), [this](const json& r) { return handleControl(r); },
            controlError))
        logLine("Overlay", "control socket unavailable: " + controlError);

    // The stored ads first take the service's list, so the schedule shows what the DJ set up there.
    std::weak_ptr<bool> alive = alive_;
    spawnOnMain(
        [](SessionOverlay* self, std::weak_ptr<bool> alive) -> boost::asio::awaitable<void> {
            try {
                co_await self->ads_->refresh();
            } catch (const std::exception& e) {
                if (alive.expired()) co_return;
                logLine("Overlay", std::string("ads not loaded from the service, using the stored ones: ") + e.what());
            }
            if (alive.expired()) co_return;
            if (self->onChange) self->onChange();
            if (!self->server_.isRunning()) co_return;
            if (self->store_.event()) self->ads_->setupSchedule(self->store_.event()->id);
        }(this, alive),
        "overlay ads");
}

void SessionOverlay::showAdFromChannel(const json& shown) {
    if (!shown.is_object()) return;
    std::string id;
    for (const char* k : {"adId", "id"}) {
        auto v = shown.find(k);
        if (v != shown.end() && v->is_string()) id = v->get<std::string>();
        if (!id.empty()) break;
    }
    // Our own activation already put it on the overlay.
    if (!id.empty() && ads_->activeAdId == id) return;
    if (!id.empty()) ads_->activeAdId = id;
    if (const overlay::EventAd* ad = id.empty() ? nullptr : ads_->find(id)) {
        if (ad->showInOverlay) server_.send(overlay::OverlayEvent::adShow(overlay::overlayAdHtml(*ad, config_)));
        return;
    }
    auto html = shown.find("html");
    if (html != shown.end() && html->is_string() && !html->get<std::string>().empty())
        server_.send(overlay::OverlayEvent::adShow(html->get<std::string>()));
}

json SessionOverlay::handleControl(const json& request) {
    return overlay::handleOverlayControl(server_, request, [this] {
        config_ = overlay::OverlayConfig::fromData(AppSettings::load().overlayConfigData);
        config_.port = server_.port();
        refreshInitialState();
        return config_;
    });
}

void SessionOverlay::stop() {
    ads_->cancelSchedule();
    control_.stop();
    store_.onAdShow = nullptr;
    store_.onAdHide = nullptr;
    if (server_.isRunning()) server_.stop();
    store_.onNowPlaying = nullptr;
    store_.onGuestCount = nullptr;
    store_.onBroadcastSent = nullptr;
    // Hand back the hooks this wrapped, so a later start does not wrap them twice.
    if (wrapped_) {
        store_.onRequestConfirmed = savedConfirmed_;
        store_.messageStore.onMessagesChanged = savedMessagesChanged_;
        wrapped_ = false;
    }
}

void SessionOverlay::refreshInitialState() {
    std::optional<std::string> title, artist;
    std::optional<int64_t> up, down;
    if (auto t = nowPlayingTitle(store_)) {
        title = t;
        artist = store_.event()->nowPlaying->trackArtist;
        auto tally = store_.messageStore.voteTally(*t);
        up = tally.first;
        down = tally.second;
    }
    server_.setInitialState(overlay::OverlayEvent::initialState(config_, title, artist, store_.guestCount(), up, down));
}

void SessionOverlay::sendVotesIfChanged() {
    auto title = nowPlayingTitle(store_);
    if (!title) return;
    auto tally = store_.messageStore.voteTally(*title);
    if (lastVotes_ == tally) return;
    lastVotes_ = tally;
    server_.send(overlay::OverlayEvent::nowPlayingVotes(tally.first, tally.second));
    refreshInitialState();
}

}  // namespace fv::app
