#include "core/Paths.hpp"

#include <cstdlib>
#include <system_error>

#include <pwd.h>
#include <unistd.h>

namespace fv {
namespace fs = std::filesystem;

fs::path realHomeDirectory() {
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir && *pw->pw_dir) return pw->pw_dir;
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    return "/";
}

namespace {
fs::path homeForXdg() {
    // The XDG defaults follow $HOME, so a test or a second profile can redirect every stored file.
    if (const char* h = std::getenv("HOME"); h && *h) return h;
    return realHomeDirectory();
}
fs::path xdg(const char* var, const char* fallback) {
    if (const char* v = std::getenv(var); v && v[0] == '/') return v;
    return homeForXdg() / fallback;
}
}  // namespace

fs::path xdgConfigHome() { return xdg("XDG_CONFIG_HOME", ".config"); }
fs::path xdgDataHome() { return xdg("XDG_DATA_HOME", ".local/share"); }
fs::path xdgStateHome() { return xdg("XDG_STATE_HOME", ".local/state"); }

fs::path ensureDirectory(const fs::path& p) {
    std::error_code ec;
    fs::create_directories(p, ec);
    return p;
}

}  // namespace fv
