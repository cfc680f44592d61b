// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/VirtualDJBridge.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <set>

#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "djsoftware/TextCodec.hpp"
#include "session/AppSettings.hpp"
#include "session/HttpClient.hpp"
#include "session/KeychainService.hpp"

namespace fv {

namespace {

void log(const std::string& m) { logLine("VDJBridge", m); }

std::string trim(std::string s) {
    const char* ws = " \t\r\n\v\f";
    auto b = s.find_first_not_of(ws);
    if (b == std::string::npos) return {};
    auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Every byte but the unreserved characters is escaped, so the plugin reads the script as sent.
std::string percentEncode(std::string_view s) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '.' ||
            c == '_' || c == '~') {
            out += char(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

std::string lastComponent(const std::string& p) {
    auto slash = p.find_last_of("/\\");
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string where(int port) { return "127.0.0.1:" + std::to_string(port); }

DJBridgeError networkFailure(const HttpError& e, int port) {
    switch (e.kind()) {
        case HttpError::Kind::timeout:
            return DJBridgeError::networkError("VirtualDJ antwortet nicht (Zeitüberschreitung, " + where(port) + ")");
        case HttpError::Kind::resolve:
        case HttpError::Kind::connect:
            return DJBridgeError::networkError("keine Verbindung zu VirtualDJ auf " + where(port) +
                                               " (Netzwerksteuerung aktiv?)");
        case HttpError::Kind::notHttp:
        case HttpError::Kind::receive:
        case HttpError::Kind::tooLarge:
            return DJBridgeError::networkError("ungültige Antwort von VirtualDJ auf " + where(port));
        default:
            return DJBridgeError::networkError("Anfrage an VirtualDJ auf " + where(port) + " fehlgeschlagen");
    }
}

bool validPort(int p) { return p >= 1 && p <= 65535; }

// Playlist names come from the event: a slash would reach into other folders.
std::string fileSafe(std::string name) {
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '\0', '_');
    return name;
}

}  // namespace

fs::path VirtualDJBridge::basePath() const {
    if (!customBasePath.empty()) return customBasePath;
    return realHomeDirectory() / "Documents" / "VirtualDJ";
}

DJSoftwareBridge::Task<bool> VirtualDJBridge::isAvailable() { co_return isDirectory(basePath()); }

BridgeStatus VirtualDJBridge::configure(const AppSettings& settings) {
    httpPort = validPort(int(settings.virtualDJPort)) ? int(settings.virtualDJPort) : defaultHttpPort;
    auto stored = KeychainService().read(passwordKey);
    password = stored && !stored->empty() ? stored : std::nullopt;

    // A stored folder grant is the folder's path; it counts when the folder can be opened.
    std::string path;
    bool fromGrant = false;
    if (!settings.lastVirtualDJBookmark.empty() && isDirectory(settings.lastVirtualDJBookmark) &&
        isReadable(settings.lastVirtualDJBookmark)) {
        path = settings.lastVirtualDJBookmark;
        fromGrant = true;
    } else if (!settings.lastVirtualDJPath.empty()) {
        path = settings.lastVirtualDJPath;
    }
    customBasePath = path;
    if (path.empty()) return BridgeStatus::notConfigured();
    if (fromGrant || isReadable(path)) return BridgeStatus::configured();
    return BridgeStatus::accessDenied();
}

DJSoftwareBridge::Task<BridgeStatus> VirtualDJBridge::refreshStatus(BridgeStatus configured) {
    fs::path base = basePath();
    // Without a chosen folder a missing default folder only means VirtualDJ is not here.
    if (customBasePath.empty() && !isDirectory(base)) co_return configured;
    std::error_code ec;
    fs::directory_iterator it(base / "MyLists", ec);
    if (ec) co_return ec == std::errc::permission_denied ? BridgeStatus::accessDenied() : BridgeStatus::unreachable();
    int count = 0;
    for (; it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (endsWith(name, ".vdjfolder") || endsWith(name, ".m3u")) ++count;
    }
    if (ec) co_return ec == std::errc::permission_denied ? BridgeStatus::accessDenied() : BridgeStatus::unreachable();
    co_return BridgeStatus::connected(std::to_string(count) + " Playlisten · Now Playing");
}

// Network control.

DJSoftwareBridge::Task<std::string> VirtualDJBridge::query(std::string script) {
    if (!validPort(httpPort)) throw DJBridgeError::networkError("Ungueltige VirtualDJ-Abfrage");
    HttpRequest req;
    req.method = "GET";
    req.url = "http://127.0.0.1:" + std::to_string(httpPort) + "/query?script=" + percentEncode(script);
    req.timeout = queryTimeout;
    req.headers.emplace_back("Cache-Control", "no-cache");
    if (password) req.headers.emplace_back("Authorization", "Bearer " + *password);
    int port = httpPort;
    HttpResponse res;
    try {
        res = co_await HttpClient::shared().send(std::move(req));
    } catch (const HttpError& e) {
        throw networkFailure(e, port);
    }
    // An error page (wrong password, no such script) is no answer to show as a title.
    if (res.status != 200) {
        std::string why = res.status == 401 || res.status == 403 ? " – Passwort der Netzwerksteuerung prüfen" : "";
        throw DJBridgeError::networkError(fmt::format("VirtualDJ antwortet mit HTTP {}{}", res.status, why));
    }
    co_return isValidUtf8(res.body) ? res.body : std::string();
}

DJSoftwareBridge::Task<VDJExecuteResult> VirtualDJBridge::executeVDJ(std::string script) {
    if (!validPort(httpPort)) throw DJBridgeError::networkError("Ungueltige VirtualDJ-URL");
    log("executeVDJ script: " + script);
    HttpRequest req;
    req.method = "POST";
    req.url = "http://127.0.0.1:" + std::to_string(httpPort) + "/execute";
    req.timeout = executeTimeout;
    req.body = script;
    req.headers.emplace_back("Content-Type", "text/plain; charset=utf-8");
    req.headers.emplace_back("Cache-Control", "no-cache");
    if (password) req.headers.emplace_back("Authorization", "Bearer " + *password);
    int port = httpPort;
    // A client of its own, gone after the call: nothing of one load is reused for the next.
    auto client = std::make_unique<HttpClient>();
    VDJExecuteResult result;
    try {
        HttpResponse res = co_await client->send(std::move(req));
        result.status = res.status;
        result.body = isValidUtf8(res.body) ? res.body : std::string();
    } catch (const HttpError& e) {
        if (e.kind() != HttpError::Kind::notHttp) throw networkFailure(e, port);
        result = {};
    }
    log(fmt::format("executeVDJ HTTP {}, body: '{}'", result.status, result.body));
    co_return result;
}

DJSoftwareBridge::Task<std::optional<DJNowPlaying>> VirtualDJBridge::getCurrentlyPlaying() {
    std::string title = trim(co_await query("deck master get_title"));
    std::string artist = trim(co_await query("deck master get_artist"));
    if (title.empty()) co_return std::nullopt;
    co_return DJNowPlaying{title, artist, std::chrono::system_clock::now()};
}

DJSoftwareBridge::Task<bool> VirtualDJBridge::loadTrack(std::string path, int deck) {
    if (deck < 1 || deck > 4) co_return false;
    std::error_code ec;
    fs::path resolved = fs::absolute(path, ec);
    if (!ec) {
        fs::path canon = fs::weakly_canonical(resolved, ec);
        if (!ec) resolved = canon;
    }
    std::string file = resolved.string();
    // VirtualDJ scripts take either quote; a path holding both cannot be written into one.
    std::string quoted;
    if (file.find('"') == std::string::npos)
        quoted = "\"" + file + "\"";
    else if (file.find('\'') == std::string::npos)
        quoted = "'" + file + "'";
    else {
        log("cannot quote '" + file + "' for a script");
        co_return false;
    }
    // Arguments are named: GCC 12 destroys some temporaries of a co_await expression twice.
    std::string script = "deck " + std::to_string(deck) + " load " + quoted;
    VDJExecuteResult r = co_await executeVDJ(script);
    if (r.status == 200) co_return trim(r.body) == "true";
    if (r.status == 400) {
        std::string ask = "deck " + std::to_string(deck) + " get filepath";
        std::string onDeck = trim(co_await query(ask));
        if (!onDeck.empty() && lastComponent(onDeck) == lastComponent(file)) {
            log("Track already on deck " + std::to_string(deck) + ", treating as success");
            co_return true;
        }
    }
    co_return false;
}

// Folder lists.

std::vector<VDJFolderSong> VirtualDJBridge::readFolder(const fs::path& path) const {
    if (!fileExists(path)) return {};
    auto text = readFile(path);
    // Rewriting a list we could not read would throw away the DJ's songs.
    if (!text) throw VDJFileError("Die VirtualDJ-Liste " + path.string() + " kann nicht gelesen werden");
    VDJFolderParser parser;
    parser.parse(*text, "Die VirtualDJ-Liste " + path.string());
    return std::move(parser.songs);
}

void VirtualDJBridge::writeFolder(const std::vector<VDJFolderSong>& songs, const fs::path& path) const {
    try {
        writeFileAtomically(path, vdjFolderDocument(songs));
    } catch (const std::system_error& e) {
        throw DJBridgeError::writeAccessDenied(path.string() + " (" + e.code().message() + ")");
    }
}

std::map<std::string, VDJTrackInfo> VirtualDJBridge::readDatabase() const {
    fs::path file = databasePath();
    if (!fileExists(file)) return {};
    auto text = readFile(file);
    if (!text) throw VDJFileError("Die VirtualDJ-Datenbank " + file.string() + " kann nicht gelesen werden");
    VDJDatabaseParser parser;
    parser.parse(*text, "Die VirtualDJ-Datenbank " + file.string());
    return std::move(parser.result);
}

void VirtualDJBridge::writeOrderFile() const {
    fs::path dir = basePath() / "MyLists";
    std::error_code ec;
    std::vector<std::string> lists;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (endsWith(name, ".vdjfolder")) lists.push_back(name);
    }
    if (ec) return;
    std::sort(lists.begin(), lists.end());
    // The DJ's own order of the lists stays; lists it does not name yet follow in name order.
    std::vector<std::string> lines;
    std::set<std::string> named;
    if (auto old = readFile(dir / "order")) {
        size_t at = 0;
        while (at <= old->size()) {
            size_t nl = old->find('\n', at);
            std::string line = old->substr(at, nl == std::string::npos ? std::string::npos : nl - at);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && named.insert(line).second) lines.push_back(line);
            if (nl == std::string::npos) break;
            at = nl + 1;
        }
    }
    for (const auto& l : lists)
        if (named.insert(l).second) lines.push_back(l);
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    try {
        writeFileAtomically(dir / "order", text);
    } catch (const std::system_error& e) {
        log("order file not written: " + std::string(e.what()));
    }
}

DJSoftwareBridge::Task<std::string> VirtualDJBridge::createPlaylist(std::string name) {
    fs::path base = basePath();
    // MyLists is made inside VirtualDJ's folder, never a VirtualDJ folder where there is none.
    if (!isDirectory(base)) throw DJBridgeError::softwareNotAvailable(DJSoftwareType::virtualDJ);
    fs::path dir = base / "MyLists";
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw DJBridgeError::writeAccessDenied(dir.string() + " (" + ec.message() + ")");
    fs::path file = dir / ("Floorvote " + fileSafe(name) + ".vdjfolder");
    if (!fileExists(file)) {
        writeFolder({}, file);
        writeOrderFile();
    }
    co_return file.string();
}

DJSoftwareBridge::Task<void> VirtualDJBridge::addTrackToPlaylist(std::string path, std::string folder,
                                                                 std::size_t position) {
    auto songs = readFolder(folder);
    VDJFolderSong song;
    song.path = path;
    // A song already in the list moves with what VirtualDJ knows of it.
    if (auto it = std::find_if(songs.begin(), songs.end(), [&](const auto& s) { return s.path == path; });
        it != songs.end())
        song = *it;
    std::erase_if(songs, [&](const auto& s) { return s.path == path; });
    songs.insert(songs.begin() + std::ptrdiff_t(std::min(position, songs.size())), song);
    writeFolder(songs, folder);
    co_return;
}

DJSoftwareBridge::Task<void> VirtualDJBridge::removeTrackFromPlaylist(std::string path, std::string folder) {
    auto songs = readFolder(folder);
    std::erase_if(songs, [&](const auto& s) { return s.path == path; });
    writeFolder(songs, folder);
    co_return;
}

DJSoftwareBridge::Task<void> VirtualDJBridge::reorderPlaylist(std::string folder, std::vector<std::string> paths) {
    auto songs = readFolder(folder);
    if (paths.empty()) {
        writeFolder(songs, folder);
        co_return;
    }
    // The named songs in the given order, then the DJ's own additions as they stood.
    std::vector<VDJFolderSong> ordered;
    std::vector<bool> used(songs.size(), false);
    for (const auto& p : paths) {
        for (size_t i = 0; i < songs.size(); ++i) {
            if (!used[i] && songs[i].path == p) {
                used[i] = true;
                ordered.push_back(songs[i]);
                break;
            }
        }
    }
    for (size_t i = 0; i < songs.size(); ++i)
        if (!used[i]) ordered.push_back(songs[i]);
    writeFolder(ordered, folder);
    co_return;
}

DJSoftwareBridge::Task<bool> VirtualDJBridge::playlistExists(std::string folder) {
    std::error_code ec;
    co_return fs::is_regular_file(folder, ec);
}

}  // namespace fv
