#pragma once
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;

namespace fv {

// The per-user key-value store. One SQLite table kv(key, value); every call is its own
// transaction, so two floorvote processes never see a half-written value.
class DefaultsStore {
public:
    explicit DefaultsStore(std::filesystem::path file);
    ~DefaultsStore();
    DefaultsStore(const DefaultsStore&) = delete;
    DefaultsStore& operator=(const DefaultsStore&) = delete;

    // $XDG_CONFIG_HOME/floorvote/defaults.sqlite3, opened on first use.
    static DefaultsStore& standard();
    // Drops the standard instance so the next use reopens it (tests that change $HOME).
    static void resetStandard();

    std::optional<std::string> get(std::string_view key) const;
    // Returns false when the store could not be written.
    bool set(std::string_view key, std::string_view value);
    bool remove(std::string_view key);
    // Read-modify-write under one write lock across processes. fn gets the current value and
    // returns the new one (nothing removes the key).
    bool update(std::string_view key,
                const std::function<std::optional<std::string>(const std::optional<std::string>&)>& fn);

    const std::filesystem::path& file() const { return file_; }

private:
    bool exec(const char* sql) const;
    std::filesystem::path file_;
    sqlite3* db_ = nullptr;
    mutable std::mutex m_;
};

}  // namespace fv
