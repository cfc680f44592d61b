#include "panel/PanelLink.hpp"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include "core/Files.hpp"
#include "core/Paths.hpp"

namespace fv::panel {

namespace fs = std::filesystem;

namespace {
fs::path linkFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') return fs::path(runtime) / "floorvote";
    return xdgStateHome() / "floorvote";
}

bool running(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

std::optional<PanelLink> readLink(const fs::path& p) {
    auto text = readFile(p);
    if (!text) return std::nullopt;
    std::istringstream in(*text);
    PanelLink l;
    long long pid = 0;
    unsigned port = 0;
    if (!(in >> l.url >> pid >> port) || l.url.rfind("http://127.0.0.1:", 0) != 0 || port > 65535) return std::nullopt;
    l.pid = static_cast<pid_t>(pid);
    l.port = static_cast<uint16_t>(port);
    if (!running(l.pid)) return std::nullopt;
    return l;
}
}  // namespace

fs::path panelLinkPath(uint16_t port) { return linkFolder() / ("panel-" + std::to_string(port) + ".url"); }

void writePanelLink(uint16_t port, const std::string& url) {
    fs::path p = panelLinkPath(port);
    ensureDirectory(p.parent_path());
    ::chmod(p.parent_path().c_str(), 0700);
    writeFileAtomically(p, url + "\n" + std::to_string(::getpid()) + "\n" + std::to_string(port) + "\n", 0600);
}

void removePanelLink(uint16_t port) {
    std::error_code ec;
    fs::path p = panelLinkPath(port);
    // Only our own: a newer session on the same port may have written it meanwhile.
    auto text = readFile(p);
    if (text && text->find("\n" + std::to_string(::getpid()) + "\n") != std::string::npos) fs::remove(p, ec);
}

std::optional<PanelLink> findPanelLink(uint16_t port) {
    if (port != 0) return readLink(panelLinkPath(port));
    std::optional<PanelLink> best;
    fs::file_time_type bestTime;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(linkFolder(), ec)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("panel-", 0) != 0 || e.path().extension() != ".url") continue;
        auto l = readLink(e.path());
        if (!l) continue;
        auto t = fs::last_write_time(e.path(), ec);
        if (!best || t > bestTime) {
            best = l;
            bestTime = t;
        }
    }
    return best;
}

}  // namespace fv::panel
