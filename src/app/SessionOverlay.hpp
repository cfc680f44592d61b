#pragma once
// Connects the live session to the stream overlay and the DJ's ads: the overlay runs while the
// stored configuration has it enabled, and shows what happens in the event.
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/Json.hpp"
#include "overlay/AdService.hpp"
#include "overlay/OverlayConfig.hpp"
#include "overlay/OverlayControl.hpp"
#include "overlay/OverlayServer.hpp"
#include "session/Records.hpp"

namespace fv {
class AppStore;
class APIClient;
}

namespace fv::app {

class SessionOverlay {
public:
    SessionOverlay(AppStore& store, APIClient& api);
    ~SessionOverlay();
    SessionOverlay(const SessionOverlay&) = delete;
    SessionOverlay& operator=(const SessionOverlay&) = delete;

    // After the event is connected: starts the server when enabled, sends the initial state to
    // new pages and follows the event from then on.
    void start();
    void stop();

    overlay::OverlayServer& server() { return server_; }
    overlay::AdService& ads() { return *ads_; }
    // Called when the ads were loaded or the overlay started or stopped.
    std::function<void()> onChange;

private:
    void refreshInitialState();
    void sendVotesIfChanged();
    void showAdFromChannel(const json& shown);
    json handleControl(const json& request);

    AppStore& store_;
    std::unique_ptr<overlay::AdBackend> backend_;
    std::unique_ptr<overlay::AdService> ads_;
    overlay::OverlayServer server_;
    overlay::OverlayConfig config_;
    std::optional<std::pair<int64_t, int64_t>> lastVotes_;
    overlay::OverlayControlServer control_;
    std::function<void(const MusicRequest&)> savedConfirmed_;
    std::function<void()> savedMessagesChanged_;
    bool wrapped_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace fv::app
