#include "platform/DefaultsStore.hpp"

#include <sqlite3.h>
#include <sys/stat.h>

#include "core/Log.hpp"
#include "core/Paths.hpp"

namespace fv {
namespace {
std::mutex standardMutex;
std::unique_ptr<DefaultsStore> standardStore;

struct Stmt {
    sqlite3_stmt* s = nullptr;
    Stmt(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) s = nullptr;
    }
    ~Stmt() { sqlite3_finalize(s); }
};
}  // namespace

DefaultsStore::DefaultsStore(std::filesystem::path file) : file_(std::move(file)) {
    ensureDirectory(file_.parent_path());
    if (sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                        nullptr) != SQLITE_OK) {
        logLine("Defaults", "cannot open " + file_.string() + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
        sqlite3_close(db_);
        db_ = nullptr;
        return;
    }
    // Another process may hold the write lock for a moment; wait rather than fail.
    sqlite3_busy_timeout(db_, 10000);
    // It holds the event PIN and API secrets; its journal files take this mode from it.
    ::chmod(file_.c_str(), 0600);
    exec("PRAGMA journal_mode=WAL");
    exec("CREATE TABLE IF NOT EXISTS kv(key TEXT PRIMARY KEY, value BLOB)");
}

DefaultsStore::~DefaultsStore() {
    if (db_) sqlite3_close(db_);
}

DefaultsStore& DefaultsStore::standard() {
    std::lock_guard lock(standardMutex);
    if (!standardStore) standardStore = std::make_unique<DefaultsStore>(xdgConfigHome() / "floorvote" / "defaults.sqlite3");
    return *standardStore;
}

void DefaultsStore::resetStandard() {
    std::lock_guard lock(standardMutex);
    standardStore.reset();
}

bool DefaultsStore::exec(const char* sql) const {
    char* err = nullptr;
    if (sqlite3_exec(db_, sql, nullptr, nullptr, &err) != SQLITE_OK) {
        logLine("Defaults", std::string("SQLite: ") + (err ? err : "error"));
        sqlite3_free(err);
        return false;
    }
    return true;
}

std::optional<std::string> DefaultsStore::get(std::string_view key) const {
    std::lock_guard lock(m_);
    if (!db_) return std::nullopt;
    Stmt st(db_, "SELECT value FROM kv WHERE key = ?");
    if (!st.s) return std::nullopt;
    sqlite3_bind_text(st.s, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(st.s) != SQLITE_ROW) return std::nullopt;
    const void* p = sqlite3_column_blob(st.s, 0);
    int n = sqlite3_column_bytes(st.s, 0);
    return std::string(static_cast<const char*>(p), p ? static_cast<size_t>(n) : 0);
}

bool DefaultsStore::set(std::string_view key, std::string_view value) {
    return update(key, [&](const std::optional<std::string>&) { return std::optional<std::string>(std::string(value)); });
}

bool DefaultsStore::remove(std::string_view key) {
    return update(key, [](const std::optional<std::string>&) { return std::optional<std::string>(); });
}

bool DefaultsStore::update(std::string_view key,
                           const std::function<std::optional<std::string>(const std::optional<std::string>&)>& fn) {
    std::lock_guard lock(m_);
    if (!db_) return false;
    // IMMEDIATE takes the write lock up front, so the read below is what the write replaces.
    if (!exec("BEGIN IMMEDIATE")) return false;
    std::optional<std::string> current;
    {
        Stmt st(db_, "SELECT value FROM kv WHERE key = ?");
        if (!st.s) {
            exec("ROLLBACK");
            return false;
        }
        sqlite3_bind_text(st.s, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
        if (sqlite3_step(st.s) == SQLITE_ROW) {
            const void* p = sqlite3_column_blob(st.s, 0);
            int n = sqlite3_column_bytes(st.s, 0);
            current = std::string(static_cast<const char*>(p), p ? static_cast<size_t>(n) : 0);
        }
    }
    std::optional<std::string> next;
    try {
        next = fn(current);
    } catch (...) {
        exec("ROLLBACK");
        throw;
    }
    bool ok;
    if (next) {
        Stmt st(db_, "INSERT INTO kv(key, value) VALUES(?, ?) ON CONFLICT(key) DO UPDATE SET value = excluded.value");
        ok = st.s != nullptr;
        if (ok) {
            sqlite3_bind_text(st.s, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
            sqlite3_bind_blob(st.s, 2, next->data(), static_cast<int>(next->size()), SQLITE_TRANSIENT);
            ok = sqlite3_step(st.s) == SQLITE_DONE;
        }
    } else {
        Stmt st(db_, "DELETE FROM kv WHERE key = ?");
        ok = st.s != nullptr;
        if (ok) {
            sqlite3_bind_text(st.s, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
            ok = sqlite3_step(st.s) == SQLITE_DONE;
        }
    }
    if (!ok) {
        logLine("Defaults", std::string("SQLite: ") + sqlite3_errmsg(db_));
        exec("ROLLBACK");
        return false;
    }
    return exec("COMMIT");
}

}  // namespace fv
