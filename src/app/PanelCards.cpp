#include "app/PanelCards.hpp"

#include <fmt/format.h>

#include "core/ErrorText.hpp"
#include "djsoftware/CDJLibraryManager.hpp"

namespace fv::app {

namespace {

const char* cdjModeText(CDJLibraryManager::Mode m) {
    switch (m) {
        case CDJLibraryManager::Mode::active: return "aktiv";
        case CDJLibraryManager::Mode::standby: return "Bereitschaft";
        case CDJLibraryManager::Mode::off: return "aus";
    }
    return "aus";
}

}  // namespace

json cdjLibraryCard(const CDJLibraryManager* m) {
    json rows = json::array();
    if (!m) {
        rows.push_back({"Modus", "aus"});
        rows.push_back({"Einschalten", "floorvote settings set cdjLibraryEnabled true, dann neu starten"});
        return {{"title", "CDJ-Bibliothek"}, {"rows", rows}};
    }
    rows.push_back({"Modus", cdjModeText(m->mode())});
    rows.push_back({"Status", m->statusText()});
    if (m->lastError()) rows.push_back({"Letzter Fehler", germanError(*m->lastError())});
    rows.push_back({"Ausgeliefert", fmt::format("{} Tracks ({} nicht gefunden)", m->servedTrackCount(),
                                                m->missingTrackIds().size())});
    if (m->isCaching()) rows.push_back({"rekordbox", "liest die Bibliothek …"});

    json peers = json::array();
    const auto& list = m->mode() == CDJLibraryManager::Mode::active ? m->peers() : m->standbyPeers();
    for (const auto& p : list)
        peers.push_back(fmt::format("{} ({}, Nr. {}) @ {}", p.name, p.kind, p.deviceNumber, p.address));
    json decks = json::array();
    for (const auto& [player, d] : m->decks()) {
        std::string what = "Titel-ID " + std::to_string(d.trackId);
        if (d.trackId == 0) what = "leer";
        else if (d.fromLibrary && m->library())
            if (auto t = m->library()->track(d.trackId))
                what = t->artist.empty() ? t->title : t->artist + " – " + t->title;
        std::string flags;
        if (d.onAir) flags += ", on air";
        if (d.isPlaying) flags += ", spielt";
        if (d.isMaster) flags += ", Master";
        if (d.bpm) flags += fmt::format(", {:.1f} BPM", *d.bpm);
        decks.push_back(fmt::format("Deck {}: {}{}", player, what, flags));
    }
    return {{"title", "CDJ-Bibliothek"},
            {"rows", rows},
            {"lists", json::array({{{"title", "Geräte im Netz"}, {"items", peers}, {"empty", "keine"}},
                                   {{"title", "Decks"}, {"items", decks}, {"empty", "keine"}}})}};
}

}  // namespace fv::app
