// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/PlaylistExportService.hpp"

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "core/Files.hpp"
#include "djsoftware/DJSoftwareBridge.hpp"
#include "djsoftware/MixxxBridge.hpp"
#include "djsoftware/RekordboxBridge.hpp"
#include "djsoftware/SeratoBridge.hpp"
#include "djsoftware/VDJFiles.hpp"

namespace fv {

namespace {

constexpr const char* noFiles = "Keine exportierbaren Tracks (kein Dateipfad)";
constexpr const char* nothingWritten = "Keine Tracks exportierbar";
constexpr const char* noSpotify = "Keine Spotify-Tracks in dieser Playlist";
constexpr const char* noAppleMusic = "Keine Apple Music-Tracks in dieser Playlist";
constexpr std::size_t spotifyChunk = 100;

std::string failed(const std::string& description) { return "Export fehlgeschlagen: " + description; }

bool isFileSource(const Track& t) { return (t.source == "serato" || t.source == "virtualdj") && !t.sourceId.empty(); }

// folderPath names an existing file (not a folder).
std::optional<std::string> existingFolderPath(const Track& t) {
    if (!t.folderPath || t.folderPath->empty()) return std::nullopt;
    auto p = t.resolvedFilePath();
    if (!p || !fileExists(*p) || isDirectory(*p)) return std::nullopt;
    return p;
}

ExportResult result(DJSoftwareType software, int exported, int skipped, std::optional<std::string> error = std::nullopt) {
    return ExportResult{software, exported, skipped, std::move(error)};
}

}  // namespace

json ExportResult::toJson() const {
    json j = {{"software", std::string(rawValue(software))}, {"exported", exported}, {"skipped", skipped}};
    if (error) j["error"] = *error;
    return j;
}

std::string ExportResult::summary() const {
    if (error) return *error;
    std::string line = fmt::format("{} Tracks nach {} exportiert", exported, displayName(software));
    if (skipped > 0) line += fmt::format(", {} übersprungen", skipped);
    return line + ".";
}

std::string PlaylistExportService::sanitizedName(std::string_view name) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    size_t b = 0, e = name.size();
    while (b < e && blank(name[b])) ++b;
    while (e > b && blank(name[e - 1])) --e;
    std::string out;
    for (char c : name.substr(b, e - b)) out += std::string_view("/\\:*?\"<>|").find(c) == std::string_view::npos ? c : '_';
    return out;
}

std::optional<std::string> PlaylistExportService::filePath(const Track& t) {
    if (auto p = existingFolderPath(t)) return p;
    if (isFileSource(t)) return t.sourceId;
    return std::nullopt;
}

std::vector<Track> PlaylistExportService::exportableTracks(const std::vector<Track>& tracks, DJSoftwareType software) {
    std::vector<Track> out;
    for (const auto& t : tracks) {
        bool ok = false;
        switch (software) {
            case DJSoftwareType::appleMusic: ok = t.source == "applemusic" && !t.sourceId.empty(); break;
            case DJSoftwareType::spotify: ok = t.source == "spotify" && !t.sourceId.empty(); break;
            case DJSoftwareType::rekordbox:
                ok = (t.rekordboxId && !t.rekordboxId->empty()) || (t.source == "rekordbox" && !t.sourceId.empty()) ||
                     existingFolderPath(t) || isFileSource(t);
                break;
            case DJSoftwareType::serato:
            case DJSoftwareType::virtualDJ:
            case DJSoftwareType::mixxx: ok = existingFolderPath(t) || isFileSource(t); break;
        }
        if (ok) out.push_back(t);
    }
    return out;
}

boost::asio::awaitable<ExportResult> PlaylistExportService::exportTracks(std::vector<Track> tracks,
                                                                         DJSoftwareType software, std::string name,
                                                                         std::string folder) {
    switch (software) {
        case DJSoftwareType::virtualDJ: co_return exportVirtualDJ(tracks, name, folder);
        case DJSoftwareType::serato: co_return exportSerato(tracks, name, folder);
        case DJSoftwareType::rekordbox: co_return co_await exportRekordbox(tracks, name);
        case DJSoftwareType::mixxx: co_return co_await exportMixxx(tracks, name);
        case DJSoftwareType::spotify: co_return co_await exportSpotify(tracks, name);
        case DJSoftwareType::appleMusic: co_return co_await exportAppleMusic(tracks, name);
    }
    co_return result(software, 0, static_cast<int>(tracks.size()), failed("unbekanntes Ziel"));
}

ExportResult PlaylistExportService::exportVirtualDJ(const std::vector<Track>& tracks, const std::string& name,
                                                    const std::string& folder) {
    const auto sw = DJSoftwareType::virtualDJ;
    const int total = static_cast<int>(tracks.size());
    auto exportable = exportableTracks(tracks, sw);
    if (exportable.empty()) return result(sw, 0, total, noFiles);
    try {
        std::filesystem::path lists = std::filesystem::path(folder) / "MyLists";
        std::filesystem::create_directories(lists);
        std::string fileName = sanitizedName(name) + ".vdjfolder";
        std::vector<std::string> lines;
        for (const auto& t : exportable) {
            std::string line = "  <song path=\"" + vdjEscape(*filePath(t)) + "\" artist=\"" + vdjEscape(t.artist) +
                               "\" title=\"" + vdjEscape(t.title) + "\" bpm=\"" +
                               (t.bpm > 0 ? fmt::format("{:.3f}", t.bpm) : std::string("0.000")) + "\"";
            if (!t.keyNotation.empty()) line += " key=\"" + vdjEscape(t.keyNotation) + "\"";
            lines.push_back(line + " />");
        }
        std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualFolder noDuplicates=\"yes\">\n";
        for (size_t i = 0; i < lines.size(); ++i) text += lines[i] + (i + 1 < lines.size() ? "\n" : "");
        text += "\n</VirtualFolder>\n";
        writeFileAtomically(lists / fileName, text);

        // The order file lists each folder file once; an export under the same name keeps its place.
        std::vector<std::string> order;
        if (auto existing = readFile(lists / "order")) {
            size_t start = 0;
            while (start <= existing->size()) {
                size_t end = existing->find('\n', start);
                if (end == std::string::npos) end = existing->size();
                std::string entry = existing->substr(start, end - start);
                if (!entry.empty() && entry.back() == '\r') entry.pop_back();
                if (!entry.empty()) order.push_back(entry);
                start = end + 1;
            }
        }
        if (std::find(order.begin(), order.end(), fileName) == order.end()) order.push_back(fileName);
        std::string orderText;
        for (size_t i = 0; i < order.size(); ++i) orderText += (i ? "\n" : "") + order[i];
        writeFileAtomically(lists / "order", orderText);
        int exported = static_cast<int>(lines.size());
        return result(sw, exported, total - exported);
    } catch (const std::exception& e) {
        return result(sw, 0, total, failed(e.what()));
    }
}

ExportResult PlaylistExportService::exportSerato(const std::vector<Track>& tracks, const std::string& name,
                                                 const std::string& folder) {
    const auto sw = DJSoftwareType::serato;
    const int total = static_cast<int>(tracks.size());
    auto exportable = exportableTracks(tracks, sw);
    if (exportable.empty()) return result(sw, 0, total, noFiles);
    try {
        SeratoBridge serato;
        serato.customBasePath = folder;
        std::filesystem::path crates = serato.cratesFolder();
        std::filesystem::create_directories(crates);
        std::vector<std::string> paths;
        for (const auto& t : exportable) paths.push_back(*filePath(t));
        // Replaces the crate whole (not merged), keeping a backup of the one it replaces.
        serato.writeCrate(paths, crates / (sanitizedName(name) + ".crate"));
        int exported = static_cast<int>(paths.size());
        return result(sw, exported, total - exported);
    } catch (const std::exception& e) {
        return result(sw, 0, total, failed(e.what()));
    }
}

boost::asio::awaitable<ExportResult> PlaylistExportService::exportRekordbox(const std::vector<Track>& tracks,
                                                                            const std::string& name) {
    const auto sw = DJSoftwareType::rekordbox;
    const int total = static_cast<int>(tracks.size());
    auto exportable = exportableTracks(tracks, sw);
    if (exportable.empty()) co_return result(sw, 0, total, noFiles);
    if (!targets_.rekordbox) co_return result(sw, 0, total, failed("rekordbox ist nicht eingerichtet"));
    // Content ids where the track has one, else the file (rekordbox gets an entry for it).
    json entries = json::array();
    for (const auto& t : exportable) {
        if (t.rekordboxId && !t.rekordboxId->empty()) entries.push_back({{"content_id", *t.rekordboxId}});
        else if (t.source == "rekordbox" && !t.sourceId.empty()) entries.push_back({{"content_id", t.sourceId}});
        else
            entries.push_back({{"path", *filePath(t)}, {"title", t.title}, {"artist", t.artist}, {"album", ""},
                               {"genre", t.genre}, {"duration", t.durationSeconds}});
    }
    int exported = 0;
    try {
        json answer = co_await targets_.rekordbox->exportPlaylist(name, entries);
        exported = answer.value("exported", 0);
    } catch (const DJBridgeError& e) {
        co_return result(sw, 0, total, failed(e.what()));
    } catch (const std::exception& e) {
        co_return result(sw, 0, total, std::string("Python-Fehler: ") + e.what());
    }
    co_return result(sw, exported, total - exported, exported == 0 ? std::optional<std::string>(nothingWritten)
                                                                   : std::nullopt);
}

boost::asio::awaitable<ExportResult> PlaylistExportService::exportMixxx(const std::vector<Track>& tracks,
                                                                        const std::string& name) {
    const auto sw = DJSoftwareType::mixxx;
    const int total = static_cast<int>(tracks.size());
    auto exportable = exportableTracks(tracks, sw);
    if (exportable.empty()) co_return result(sw, 0, total, noFiles);
    if (!targets_.mixxx) co_return result(sw, 0, total, failed("Mixxx ist nicht eingerichtet"));
    std::vector<std::string> paths;
    for (const auto& t : exportable) paths.push_back(*filePath(t));
    try {
        // One transaction for the whole list: a failure leaves the database as it was.
        (void)co_await targets_.mixxx->writePlaylist(name, paths);
    } catch (const std::exception& e) {
        co_return result(sw, 0, total, failed(e.what()));
    }
    int exported = static_cast<int>(paths.size());
    co_return result(sw, exported, total - exported);
}

boost::asio::awaitable<ExportResult> PlaylistExportService::exportSpotify(const std::vector<Track>& tracks,
                                                                          const std::string& name) {
    const auto sw = DJSoftwareType::spotify;
    const int total = static_cast<int>(tracks.size());
    auto exportable = exportableTracks(tracks, sw);
    if (exportable.empty()) co_return result(sw, 0, total, noSpotify);
    if (!targets_.spotifyCreatePlaylist || !targets_.spotifyAddItems)
        co_return result(sw, 0, total, failed("Spotify ist nicht angemeldet"));
    std::vector<std::string> uris;
    for (const auto& t : exportable) uris.push_back("spotify:track:" + t.sourceId);
    int exported = 0;
    try {
        auto playlistId = co_await targets_.spotifyCreatePlaylist(name);
        for (size_t at = 0; at < uris.size(); at += spotifyChunk) {
            std::vector<std::string> chunk(uris.begin() + static_cast<std::ptrdiff_t>(at),
                                           uris.begin() + static_cast<std::ptrdiff_t>(std::min(uris.size(), at + spotifyChunk)));
            co_await targets_.spotifyAddItems(playlistId, chunk);
            exported += static_cast<int>(chunk.size());
        }
    } catch (const std::exception& e) {
        // What reached the playlist before the failure is counted as written.
        co_return result(sw, exported, total - exported, failed(e.what()));
    }
    co_return result(sw, exported, total - exported);
}

boost::asio::awaitable<ExportResult> PlaylistExportService::exportAppleMusic(const std::vector<Track>& tracks,
                                                                             const std::string& name) {
    const auto sw = DJSoftwareType::appleMusic;
    const int total = static_cast<int>(tracks.size());
    auto exportable = exportableTracks(tracks, sw);
    if (exportable.empty()) co_return result(sw, 0, total, noAppleMusic);
    if (!targets_.appleMusicCreatePlaylist) co_return result(sw, 0, total, failed("Apple Music ist nicht eingerichtet"));
    std::vector<std::string> ids;
    for (const auto& t : exportable) ids.push_back(t.sourceId);
    try {
        co_await targets_.appleMusicCreatePlaylist(name, ids);
    } catch (const std::exception& e) {
        co_return result(sw, 0, total, failed(e.what()));
    }
    co_return result(sw, static_cast<int>(ids.size()), total - static_cast<int>(ids.size()));
}

}  // namespace fv
