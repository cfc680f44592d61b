#pragma once
// The control panel of `floorvote run`: the panel server on the stored port, the link file for
// `floorvote panel`, and the cards of the subsystems the session runs (the stream overlay now;
// the DJ software and the CDJ library add theirs here).
#include <memory>

#include "core/Json.hpp"
#include "panel/PanelManager.hpp"

namespace fv {
class AppStore;
}

namespace fv::app {

class SessionOverlay;

class SessionPanel {
public:
    SessionPanel(AppStore& store, SessionOverlay& overlay);
    ~SessionPanel();
    SessionPanel(const SessionPanel&) = delete;
    SessionPanel& operator=(const SessionPanel&) = delete;

    // Starts the panel and prints its address, or why it is not there; the session goes on either way.
    void start();
    void stop();
    panel::PanelManager& manager() { return manager_; }

private:
    json overlayCard();
    void addOverlay();

    AppStore& store_;
    SessionOverlay& overlay_;
    panel::PanelManager manager_;
    uint16_t linkPort_ = 0;
};

}  // namespace fv::app
