#pragma once
// The control panel of `floorvote run`: the panel server on the stored port, the link file for
// `floorvote panel`, and the cards of the subsystems the session runs: the stream overlay, the DJ
// software with its event playlist, and the CDJ library with its peers and decks.
#include <memory>
#include <optional>

#include "core/Json.hpp"
#include "panel/PanelManager.hpp"

namespace fv {
class AppStore;
class Timer;
}  // namespace fv

namespace fv::app {

class SessionCDJ;
class SessionOverlay;

class SessionPanel {
public:
    // Without `cdj` the panel has no CDJ card (one-shot tools, tests).
    SessionPanel(AppStore& store, SessionOverlay& overlay, SessionCDJ* cdj = nullptr);
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
    json djSoftwareCard();
    void addDJSoftware();
    void addCDJ();

    AppStore& store_;
    SessionOverlay& overlay_;
    SessionCDJ* cdj_;
    panel::PanelManager manager_;
    uint16_t linkPort_ = 0;
    // The DJ software and the link tell no one when their status changes: look once a second
    // (the tabs only hear of a real change).
    std::shared_ptr<Timer> ticker_;
};

}  // namespace fv::app
