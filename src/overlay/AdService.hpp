#pragma once
// Keeps the DJ's ads, stores them under "floorvote_ads", talks to the backend and runs the
// schedule. Lives on the main loop; every method is called there and the backend calls are
// coroutines on it.
//
// The session wires it like this:
//   AdService ads(DefaultsStore::standard(), backend);   // backend: an AdBackend over APIClient
//   ads.onAdActivated = [&](const EventAd& ad) {
//       if (ad.showInOverlay) overlay.send(OverlayEvent::adShow(overlayAdHtml(ad, overlayConfig)));
//   };
//   co_await ads.refresh();                 // the backend's list replaces the local one
//   ads.setupSchedule(eventId);             // after connecting; again after ads change
//   co_await ads.activate(adId, eventId);   // the DJ shows one by hand
//   co_await ads.hide(eventId);
#include <boost/asio/awaitable.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Json.hpp"
#include "overlay/EventAd.hpp"

namespace fv {
class DefaultsStore;
class Timer;
}  // namespace fv

namespace fv::overlay {

// The ad calls of the backend's REST interface; APIClient has them with these signatures, so an
// adapter only forwards. Answers are the parsed JSON bodies.
class AdBackend {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;
    virtual ~AdBackend() = default;
    virtual Task<json> listAds() = 0;                             // GET /api/dj/ads → {"ads": [...]}
    virtual Task<json> createAd(const json& ad) = 0;              // POST /api/dj/ads
    virtual Task<json> duplicateAd(const std::string& adId) = 0;  // POST /api/dj/ads/{ad}/duplicate
    // POST /api/events/{event}/ads/active with {"html", "type", "durationSeconds"}
    virtual Task<json> showAd(const std::string& eventId, const std::string& html, const std::string& type,
                              int64_t durationSeconds) = 0;
    virtual Task<void> hideAd(const std::string& eventId) = 0;  // DELETE /api/events/{event}/ads/active
};

class AdService {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    static constexpr const char* userDefaultsKey = "floorvote_ads";
    // Where unreadable stored data is kept before the next save replaces it.
    static constexpr const char* unreadableKey = "floorvote_ads_unreadable";

    // Loads the stored list (unreadable data leaves it empty). The backend may be null for
    // offline use; the backend calls then fail.
    AdService(DefaultsStore& store, AdBackend* backend);
    ~AdService();
    AdService(const AdService&) = delete;
    AdService& operator=(const AdService&) = delete;

    std::vector<EventAd> ads;
    std::optional<std::string> activeAdId;
    bool isActivating = false;
    std::function<void(const EventAd&)> onAdActivated;
    std::optional<std::string> lastError;

    const EventAd* find(const std::string& id) const;
    // Writes the list; false when the store could not be written.
    bool save();

    // The backend's list replaces the local one (ads without an id are skipped).
    Task<void> refresh();
    // Creates the ad on the backend and keeps the backend's record of it.
    Task<EventAd> create(EventAd ad);
    Task<EventAd> duplicate(const std::string& adId);
    // Shows the ad on the guests' pages for its schedule's duration, then records and reports
    // it. Skipped (false) while another activation runs. Throws AdError, or the backend's error.
    Task<bool> activate(const std::string& adId, const std::string& eventId);
    Task<void> hide(const std::string& eventId);

    // Cancels a running schedule and starts one for the enabled interval and continuous ads:
    // after the first ad's start delay, the ads are shown in turn; after an interval ad the
    // schedule waits its intervalMinutes, after a continuous ad its display time.
    void setupSchedule(const std::string& eventId);
    void cancelSchedule();
    bool scheduleRunning() const { return scheduleTask_ != nullptr; }
    // The length of a schedule minute (tests shorten it).
    void setMinute(std::chrono::steady_clock::duration d) { minute_ = d; }

private:
    void scheduleNext(std::chrono::steady_clock::duration wait);
    void scheduledTick();
    std::vector<std::string> scheduledIds() const;

    DefaultsStore& store_;
    AdBackend* backend_;
    std::shared_ptr<Timer> scheduleTask_;
    std::string scheduleEvent_;
    size_t scheduleTurn_ = 0;
    std::chrono::steady_clock::duration minute_ = std::chrono::minutes(1);
    std::shared_ptr<bool> alive_;
};

}  // namespace fv::overlay
