#include "cdjlink/CDJLinkServer.hpp"

#include <fmt/format.h>

#include "cdjlink/CDJDbServer.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJProDJLink.hpp"
#include "core/SerialQueue.hpp"

namespace fv::cdj {

CDJLinkServerError::CDJLinkServerError(Kind kind, std::string interfaceName, const std::string& text)
    : std::runtime_error(text), kind_(kind), interfaceName_(std::move(interfaceName)) {}

CDJLinkServerError CDJLinkServerError::noInterface(const std::string& name) {
    return CDJLinkServerError(Kind::noInterface, name,
                              name.empty() ? std::string("Kein Netzwerk-Interface mit IPv4-Adresse gefunden.")
                                           : "Interface " + name + " nicht gefunden.");
}

CDJLinkServerError CDJLinkServerError::alreadyRunning() {
    return CDJLinkServerError(Kind::alreadyRunning, "", "CDJ-Library läuft bereits.");
}

CDJLinkServerError CDJLinkServerError::rekordboxRunning() {
    return CDJLinkServerError(Kind::rekordboxRunning, "",
                              "rekordbox läuft – bitte beenden, die CDJ-Library braucht dieselben Netzwerk-Ports.");
}

CDJLinkServer::CDJLinkServer(std::shared_ptr<CDJLibrary> library, CDJLinkSettings settings,
                             CDJLinkServerOptions options)
    : queue_(std::make_unique<SerialQueue>("floorvote.cdjlink")),
      library_(std::move(library)),
      settings_(std::move(settings)),
      options_(std::move(options)) {}

CDJLinkServer::~CDJLinkServer() {
    stop();
    queue_->stop();
}

void CDJLinkServer::start() {
    queue_->dispatchSync([this] { startOnQueue(); });
}

void CDJLinkServer::stop() {
    queue_->dispatchSync([this] { stopOnQueue(); });
}

void CDJLinkServer::startOnQueue() {
    if (running_) throw CDJLinkServerError::alreadyRunning();

    const std::vector<CDJInterface> list = options_.interfaces ? options_.interfaces() : std::vector<CDJInterface>{};
    const CDJInterface* chosen = nullptr;
    if (!settings_.interfaceName.empty()) {
        for (const CDJInterface& i : list) {
            if (i.name == settings_.interfaceName) {
                chosen = &i;
                break;
            }
        }
        if (!chosen) throw CDJLinkServerError::noInterface(settings_.interfaceName);
    } else {
        if (list.empty()) throw CDJLinkServerError::noInterface("");
        chosen = &list.front();
    }
    iface_ = *chosen;
    const std::string broadcast = broadcastAddress(iface_);
    cdjLogLine("INFO", fmt::format("CDJ-Library \"{}\" startet auf {} {}/{} → {}", settings_.deviceName, iface_.name,
                                   iface_.address, iface_.netmask, broadcast));

    // Players answer to the subnet; a second interface in it may take their answers.
    std::string others;
    for (const CDJInterface& i : list) {
        if (i.name == iface_.name || broadcastAddress(i) != broadcast) continue;
        if (!others.empty()) others += ", ";
        others += i.name + " " + i.address;
    }
    if (!others.empty()) {
        cdjLogLine("WARN", "Weitere Interfaces im selben Subnetz: " + others +
                               " – CDJ-Antworten können über das falsche Interface eintreffen (WLAN aus oder "
                               "anderes Netz empfohlen)");
    }

    auto nfs = std::make_shared<CDJNfsServer>(*queue_, iface_, library_, options_.nfsPorts);
    auto db = std::make_shared<CDJDbServer>(*queue_, library_, settings_, options_.dbQueryPort);
    auto link = std::make_shared<CDJProDJLink>(*queue_, iface_, settings_, library_);

    // The services call these on the queue. The destructor stops the services on the queue before
    // anything of the server goes away, so a forward that sees the server alive can finish.
    const std::weak_ptr<CDJLinkServer> weak = weak_from_this();
    db->onTagListChanged = [weak, self = this](const std::vector<uint32_t>& tags) {
        if (!weak.expired() && self->onTagListChanged) self->onTagListChanged(tags);
    };
    link->onDeckChanged = [weak, self = this](const CDJDeckState& deck) {
        if (!weak.expired() && self->onDeckChanged) self->onDeckChanged(deck);
    };
    link->onPeersChanged = [weak, self = this](const std::vector<CDJPeer>& peers) {
        if (!weak.expired() && self->onPeersChanged) self->onPeersChanged(peers);
    };

    try {
        nfs->start();
        db->start();
        link->start();
    } catch (...) {
        nfs->stop();
        db->stop();
        link->stop();
        throw;
    }
    nfs_ = std::move(nfs);
    db_ = std::move(db);
    link_ = std::move(link);
    running_ = true;
}

void CDJLinkServer::stopOnQueue() {
    if (!running_) return;
    cdjLogLine("INFO", "CDJ-Library wird beendet (CDJs verlieren die Quelle nach ~5 s Keepalive-Timeout)");
    if (link_) link_->stop();
    if (nfs_) nfs_->stop();
    if (db_) db_->stop();
    link_.reset();
    nfs_.reset();
    db_.reset();
    running_ = false;
}

void CDJLinkServer::updateSettings(const CDJLinkSettings& settings) {
    queue_->dispatchSync([&] {
        settings_ = settings;
        if (db_) db_->updateSettings(settings);
    });
}

CDJLinkSettings CDJLinkServer::settings() const {
    return queue_->dispatchSync([this] { return settings_; });
}

std::optional<CDJLinkSettings> CDJLinkServer::databaseSettings() const {
    return queue_->dispatchSync([this]() -> std::optional<CDJLinkSettings> {
        if (!db_) return std::nullopt;
        return db_->settings();
    });
}

std::map<int64_t, CDJDeckState> CDJLinkServer::decks() const {
    return queue_->dispatchSync([this] { return link_ ? link_->decks() : std::map<int64_t, CDJDeckState>{}; });
}

CDJInterface CDJLinkServer::iface() const {
    return queue_->dispatchSync([this] { return iface_; });
}

}  // namespace fv::cdj
