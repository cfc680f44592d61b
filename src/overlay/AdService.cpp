#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#include "overlay/AdService.hpp"

#include <algorithm>

#include "core/Log.hpp"
#include "core/MainLoop.hpp"
#include "core/SerialQueue.hpp"
#include "platform/DefaultsStore.hpp"

namespace fv::overlay {

namespace {
constexpr std::string_view component = "AdService";

std::runtime_error noBackend() { return std::runtime_error("no backend"); }

// The ad record in an answer: {"ad": {...}} or the record itself.
EventAd adFromAnswer(const json& answer) {
    if (answer.is_object()) {
        if (const json* a = jsonx::find(answer, "ad"); a && a->is_object()) return EventAd::fromBackendJson(*a);
    }
    return EventAd::fromBackendJson(answer);
}
}  // namespace

AdService::AdService(DefaultsStore& store, AdBackend* backend)
    : store_(store), backend_(backend), alive_(std::make_shared<bool>(true)) {
    auto stored = store_.get(userDefaultsKey);
    if (!stored) return;
    try {
        json j = jsonx::parse(*stored);
        if (!j.is_array()) throw DecodeError("expected an array of ads");
        std::vector<EventAd> list;
        for (const auto& e : j) list.push_back(EventAd::fromJson(e));
        ads = std::move(list);
    } catch (const DecodeError& e) {
        logf(component, "stored ads unreadable ({}), starting empty", e.what());
        // Keep the unreadable bytes aside: the next save would otherwise overwrite them for good.
        if (!store_.get(unreadableKey)) store_.set(unreadableKey, *stored);
    }
}

AdService::~AdService() { cancelSchedule(); }

const EventAd* AdService::find(const std::string& id) const {
    for (const auto& a : ads)
        if (a.id == id) return &a;
    return nullptr;
}

bool AdService::save() {
    ordered_json arr = ordered_json::array();
    for (const auto& a : ads) arr.push_back(a.toJson());
    bool ok = store_.set(userDefaultsKey, arr.dump(-1, ' ', false, ordered_json::error_handler_t::replace));
    if (!ok) logLine(component, "could not write the ads");
    return ok;
}

AdService::Task<void> AdService::refresh() {
    if (!backend_) throw noBackend();
    json answer = co_await backend_->listAds();
    const json* list = answer.is_object() ? jsonx::find(answer, "ads") : nullptr;
    if (!list || !list->is_array()) throw DecodeError("missing key \"ads\"");
    std::vector<EventAd> next;
    for (const auto& e : *list) {
        try {
            next.push_back(EventAd::fromBackendJson(e));
        } catch (const DecodeError& err) {
            logf(component, "skipping an ad: {}", err.what());
        }
    }
    ads = std::move(next);
    save();
}

AdService::Task<EventAd> AdService::create(EventAd ad) {
    if (!backend_) throw noBackend();
    json answer = co_await backend_->createAd(json::parse(ad.toBackendJson().dump()));
    EventAd created = ad;
    try {
        created = adFromAnswer(answer);
    } catch (const DecodeError&) {
        // An answer without the record: keep ours.
    }
    ads.push_back(created);
    save();
    co_return created;
}

AdService::Task<EventAd> AdService::duplicate(const std::string& adId) {
    if (!backend_) throw noBackend();
    json answer = co_await backend_->duplicateAd(adId);
    EventAd copy = adFromAnswer(answer);
    ads.push_back(copy);
    save();
    co_return copy;
}

AdService::Task<bool> AdService::activate(const std::string& adId, const std::string& eventId) {
    if (isActivating) {
        logf(component, "activation of {} skipped: another one is running", adId);
        co_return false;
    }
    const EventAd* found = find(adId);
    if (!found) throw std::runtime_error("unknown ad " + adId);
    EventAd ad = *found;
    std::string html = renderAdHtml(ad);  // AdError for a missing design
    if (!backend_) throw noBackend();
    isActivating = true;
    std::weak_ptr<bool> alive = alive_;
    try {
        co_await backend_->showAd(eventId, html, std::string(rawValue(ad.type)), ad.schedule.durationSeconds);
    } catch (const std::exception& e) {
        if (alive.expired()) throw;
        isActivating = false;
        lastError = e.what();
        throw;
    }
    if (alive.expired()) co_return false;
    isActivating = false;
    lastError.reset();
    activeAdId = ad.id;
    for (auto& a : ads)
        if (a.id == ad.id) {
            ++a.showCount;
            ad = a;
        }
    save();
    logf(component, "ad {} shown ({} s)", ad.id, ad.schedule.durationSeconds);
    if (onAdActivated) onAdActivated(ad);
    co_return true;
}

AdService::Task<void> AdService::hide(const std::string& eventId) {
    if (!backend_) throw noBackend();
    co_await backend_->hideAd(eventId);
    activeAdId.reset();
}

std::vector<std::string> AdService::scheduledIds() const {
    std::vector<std::string> ids;
    for (const auto& a : ads)
        if (a.isEnabled && a.schedule.mode != AdScheduleMode::manual) ids.push_back(a.id);
    return ids;
}

void AdService::cancelSchedule() {
    if (scheduleTask_) scheduleTask_->cancel();
    scheduleTask_.reset();
}

void AdService::setupSchedule(const std::string& eventId) {
    cancelSchedule();
    auto ids = scheduledIds();
    if (ids.empty() || eventId.empty()) return;
    scheduleEvent_ = eventId;
    scheduleTurn_ = 0;
    const EventAd* first = find(ids.front());
    scheduleNext(minute_ * std::max<int64_t>(0, first->schedule.startDelay));
}

void AdService::scheduleNext(std::chrono::steady_clock::duration wait) {
    std::weak_ptr<bool> alive = alive_;
    scheduleTask_ = Timer::once(MainLoop::shared().executor(), wait, [this, alive] {
        if (!alive.expired()) scheduledTick();
    });
}

void AdService::scheduledTick() {
    auto ids = scheduledIds();
    if (ids.empty()) {
        scheduleTask_.reset();
        return;
    }
    const std::string id = ids[scheduleTurn_++ % ids.size()];
    const EventAd* ad = find(id);
    // The wait after this ad, counted from its activation.
    auto wait = ad->schedule.mode == AdScheduleMode::interval
                    ? minute_ * std::max<int64_t>(1, ad->schedule.intervalMinutes)
                    : std::chrono::steady_clock::duration(
                          std::chrono::seconds(std::max<int64_t>(1, ad->schedule.durationSeconds)));
    scheduleNext(wait);
    std::weak_ptr<bool> alive = alive_;
    spawnOn(
        MainLoop::shared().executor(),
        [](AdService* self, std::weak_ptr<bool> alive, std::string id, std::string event) -> asio::awaitable<void> {
            try {
                co_await self->activate(id, event);
            } catch (const std::exception& e) {
                if (!alive.expired()) logf(component, "scheduled ad {} failed: {}", id, e.what());
            }
        }(this, alive, id, scheduleEvent_),
        "ad schedule");
}

}  // namespace fv::overlay
