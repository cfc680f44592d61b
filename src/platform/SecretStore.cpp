#include "platform/SecretStore.hpp"

#include <functional>
#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "core/Files.hpp"
#include "core/Json.hpp"
#include "core/Log.hpp"
#include "core/Paths.hpp"

namespace fv {
namespace {
std::mutex standardMutex;
std::unique_ptr<SecretStore> standardStore;
std::mutex fileMutex;

// An advisory lock on a side file, so two processes never interleave their read-modify-write.
class FileLock {
public:
    explicit FileLock(const std::filesystem::path& p) {
        fd_ = ::open(p.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    ~FileLock() {
        if (fd_ >= 0) {
            ::flock(fd_, LOCK_UN);
            ::close(fd_);
        }
    }

private:
    int fd_ = -1;
};

// Items as {"service": {"account": "value"}}; an unreadable file reads as no items and sets
// `unreadable` when given.
json load(const std::filesystem::path& file, bool* unreadable = nullptr) {
    auto text = readFile(file);
    if (!text) return json::object();
    try {
        auto j = json::parse(*text);
        if (j.is_object()) return j;
    } catch (...) {
    }
    if (unreadable) *unreadable = true;
    return json::object();
}

// A file that does not parse is kept aside before the write replaces it, so the items it may
// still hold are not lost.
void keepAside(const std::filesystem::path& file) {
    auto aside = file;
    aside += ".unreadable";
    std::error_code ec;
    std::filesystem::rename(file, aside, ec);
    logLine("Keychain", "secrets file unreadable, kept as " + aside.string() + (ec ? " (failed: " + ec.message() + ")" : ""));
}

bool modify(const std::filesystem::path& file, const std::function<bool(json&)>& fn) {
    std::lock_guard lock(fileMutex);
    ensureDirectory(file.parent_path());
    FileLock fl(file.string() + ".lock");
    bool unreadable = false;
    json items = load(file, &unreadable);
    if (!fn(items)) return false;
    if (unreadable) keepAside(file);
    try {
        writeFileAtomically(file, items.dump(), 0600);
        return true;
    } catch (const std::exception& e) {
        logLine("Keychain", e.what());
        return false;
    }
}
}  // namespace

SecretStore::SecretStore(std::filesystem::path file) : file_(std::move(file)) {}

SecretStore& SecretStore::standard() {
    std::lock_guard lock(standardMutex);
    if (!standardStore) standardStore = std::make_unique<SecretStore>(xdgDataHome() / "floorvote" / "secrets.json");
    return *standardStore;
}

void SecretStore::resetStandard() {
    std::lock_guard lock(standardMutex);
    standardStore.reset();
}

std::optional<std::string> SecretStore::read(std::string_view service, std::string_view account) const {
    std::lock_guard lock(fileMutex);
    json items = load(file_);
    auto s = items.find(service);
    if (s == items.end() || !s->is_object()) return std::nullopt;
    auto a = s->find(account);
    if (a == s->end() || !a->is_string()) return std::nullopt;
    return a->get<std::string>();
}

bool SecretStore::update(std::string_view service, std::string_view account, std::string_view value) {
    return modify(file_, [&](json& items) {
        auto s = items.find(service);
        if (s == items.end() || !s->is_object() || !s->contains(account)) return false;
        (*s)[std::string(account)] = std::string(value);
        return true;
    });
}

bool SecretStore::add(std::string_view service, std::string_view account, std::string_view value) {
    return modify(file_, [&](json& items) {
        json& s = items[std::string(service)];
        if (!s.is_object()) s = json::object();
        if (s.contains(account)) return false;
        s[std::string(account)] = std::string(value);
        return true;
    });
}

bool SecretStore::remove(std::string_view service, std::string_view account) {
    return modify(file_, [&](json& items) {
        auto s = items.find(service);
        if (s == items.end() || !s->is_object()) return false;
        return s->erase(std::string(account)) > 0;
    });
}

}  // namespace fv
