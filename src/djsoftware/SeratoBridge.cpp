// GCC 12 takes asio's coroutine frame allocator for a mismatched new/delete pair (a false positive).
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

#include "djsoftware/SeratoBridge.hpp"

#include <algorithm>
#include <boost/asio/post.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <thread>

#include "core/Files.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "djsoftware/SeratoFiles.hpp"
#include "session/AppSettings.hpp"

namespace fv {

namespace asio = boost::asio;

namespace {

bool endsWith(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::string lower(std::string s) {
    for (auto& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

std::string fileSafe(std::string name) {
    std::replace(name.begin(), name.end(), '/', '_');
    std::replace(name.begin(), name.end(), '\0', '_');
    return name;
}

fs::path defaultBase() { return realHomeDirectory() / "Music" / "_Serato_"; }

}  // namespace

fs::path SeratoBridge::basePath() const { return customBasePath.empty() ? defaultBase() : fs::path(customBasePath); }

fs::path SeratoBridge::cratesFolder() const {
    fs::path base = basePath();
    // Serato names it "Subcrates"; "SubCrates" is found only on case-blind file systems. Take
    // whichever is there, so two folders never split one library.
    if (isDirectory(base / "Subcrates")) return base / "Subcrates";
    std::error_code ec;
    for (fs::directory_iterator it(base, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (lower(it->path().filename().string()) == "subcrates" && isDirectory(it->path())) return it->path();
    return base / "Subcrates";
}

DJSoftwareBridge::Task<bool> SeratoBridge::isAvailable() { co_return isDirectory(basePath()); }

BridgeStatus SeratoBridge::configure(const AppSettings& settings) {
    chosen_ = false;
    if (!settings.lastSeratoBookmark.empty() && isDirectory(settings.lastSeratoBookmark) &&
        isReadable(settings.lastSeratoBookmark)) {
        customBasePath = settings.lastSeratoBookmark;
        chosen_ = true;
        return BridgeStatus::configured();
    }
    if (!settings.lastSeratoPath.empty()) {
        customBasePath = settings.lastSeratoPath;
        chosen_ = true;
        return BridgeStatus::configured();
    }
    if (isDirectory(defaultBase())) {
        customBasePath = defaultBase().string();
        return BridgeStatus::autoDetected();
    }
    customBasePath.clear();
    return BridgeStatus::notConfigured();
}

DJSoftwareBridge::Task<BridgeStatus> SeratoBridge::refreshStatus(BridgeStatus) {
    fs::path dir = cratesFolder();
    std::error_code ec;
    int count = 0;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        if (endsWith(it->path().filename().string(), ".crate")) ++count;
    if (ec == std::errc::permission_denied) co_return BridgeStatus::accessDenied();
    if (count > 0) co_return BridgeStatus::connected(std::to_string(count) + " Crates");
    co_return chosen_ ? BridgeStatus::unreachable() : BridgeStatus::notConfigured();
}

// Crates.

std::vector<std::string> SeratoBridge::readCrate(const fs::path& path) const {
    if (!fileExists(path)) return {};
    auto bytes = readFile(path);
    if (!bytes) throw SeratoFileError("Die Serato-Crate " + path.string() + " kann nicht gelesen werden");
    return seratoCratePaths(*bytes, "Die Datei " + path.string());
}

void SeratoBridge::writeCrate(const std::vector<std::string>& paths, const fs::path& path) const {
    std::error_code ec;
    if (fileExists(path)) {
        fs::path backup = path.string() + ".floorvote.bak";
        fs::remove(backup, ec);
        if (ec) throw DJBridgeError::writeAccessDenied(backup.string() + " (" + ec.message() + ")");
        fs::copy_file(path, backup, ec);
        if (ec) throw DJBridgeError::writeAccessDenied(backup.string() + " (" + ec.message() + ")");
    }
    try {
        writeFileAtomically(path, seratoCrateBytes(paths));
    } catch (const std::system_error& e) {
        throw DJBridgeError::writeAccessDenied(path.string() + " (" + e.code().message() + ")");
    }
}

DJSoftwareBridge::Task<std::string> SeratoBridge::createPlaylist(std::string name) {
    // The crates folder is made inside Serato's library folder, never a library where there is none.
    if (!isDirectory(basePath())) throw DJBridgeError::softwareNotAvailable(DJSoftwareType::serato);
    fs::path dir = cratesFolder();
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec) throw DJBridgeError::writeAccessDenied(dir.string() + " (" + ec.message() + ")");
    // "%%" is Serato's separator between a parent crate and its child.
    fs::path sub = dir / ("Floorvote%%" + fileSafe(name) + ".crate");
    fs::path parent = dir / "Floorvote.crate";
    if (!fileExists(parent)) writeCrate({}, parent);
    if (!fileExists(sub)) writeCrate({}, sub);
    co_return sub.string();
}

DJSoftwareBridge::Task<void> SeratoBridge::addTrackToPlaylist(std::string path, std::string crate,
                                                              std::size_t position) {
    auto paths = readCrate(crate);
    std::erase(paths, path);
    paths.insert(paths.begin() + std::ptrdiff_t(std::min(position, paths.size())), path);
    writeCrate(paths, crate);
    co_return;
}

DJSoftwareBridge::Task<void> SeratoBridge::removeTrackFromPlaylist(std::string path, std::string crate) {
    auto paths = readCrate(crate);
    std::erase(paths, path);
    writeCrate(paths, crate);
    co_return;
}

DJSoftwareBridge::Task<void> SeratoBridge::reorderPlaylist(std::string crate, std::vector<std::string> paths) {
    writeCrate(paths, crate);
    co_return;
}

DJSoftwareBridge::Task<bool> SeratoBridge::playlistExists(std::string crate) { co_return fileExists(crate); }

// History.

DJSoftwareBridge::Task<std::optional<std::string>> SeratoBridge::seratoReadWithTimeout(fs::path path) const {
    struct State {
        explicit State(asio::any_io_executor ex) : timer(ex) {}
        asio::steady_timer timer;
        std::optional<std::string> data;
        bool done = false;  // touched on the waiting coroutine's executor only
    };
    auto ex = co_await asio::this_coro::executor;
    auto st = std::make_shared<State>(ex);
    st->timer.expires_after(readTimeout);
    // A file on a slow or vanished volume may block its reader for good: the thread is left
    // behind and its answer dropped.
    // The state (and its timer) must die on the awaiting executor: the reader hands its only
    // reference on with the answer.
    std::thread([st, ex, path]() mutable {
        auto bytes = readFile(path);
        asio::post(ex, [st = std::move(st), bytes = std::move(bytes)]() mutable {
            if (st->done) return;
            st->done = true;
            st->data = std::move(bytes);
            st->timer.cancel();
        });
    }).detach();
    boost::system::error_code ec;
    co_await st->timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (!st->done) {
        st->done = true;  // the reader's late answer is ignored
        co_return std::nullopt;
    }
    co_return std::move(st->data);
}

DJSoftwareBridge::Task<std::optional<DJNowPlaying>> SeratoBridge::getCurrentlyPlaying() {
    fs::path dir = basePath() / "History" / "Sessions";
    if (!isDirectory(dir)) co_return std::nullopt;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec)) {
        std::string name = it->path().filename().string();
        if (endsWith(name, ".session")) names.push_back(name);
    }
    if (names.empty()) co_return std::nullopt;
    // Session files are numbered: "10.session" is newer than "9.session".
    auto number = [](const std::string& n) {
        std::string stem = n.substr(0, n.size() - 8);
        return !stem.empty() && stem.find_first_not_of("0123456789") == std::string::npos;
    };
    std::sort(names.begin(), names.end(), [&](const std::string& a, const std::string& b) {
        if (number(a) && number(b) && a.size() != b.size()) return a.size() < b.size();
        return a < b;
    });
    fs::path newest = dir / names.back();
    auto bytes = co_await seratoReadWithTimeout(newest);
    if (!bytes) co_return std::nullopt;
    auto played = seratoLastPlayed(*bytes);
    if (!played) co_return std::nullopt;
    co_return DJNowPlaying{played->title, played->artist, std::chrono::system_clock::now()};
}

}  // namespace fv
