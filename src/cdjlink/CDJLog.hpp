#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fv::cdj {

struct CDJLogEntry {
    std::string id;  // random UUID
    std::chrono::system_clock::time_point time;
    std::string tag;  // "OK", "ERR", "INFO", "WARN", "LINK", "NFS", "DB", "SYNC", "NOW", "TAG"
    std::string message;

    bool operator==(const CDJLogEntry&) const = default;
};

// The link's diagnostic log, shared by every link component and the main thread: a ring of the
// last 500 entries, a console mirror "[CDJLink TAG] message" and a log file. Logging never fails.
class CDJLog {
public:
    static constexpr size_t capacity = 500;
    // The file is rotated once it reaches this size; one older file (".1") is kept.
    static constexpr uint64_t defaultRotateBytes = 5 * 1024 * 1024;

    CDJLog();
    ~CDJLog();
    CDJLog(const CDJLog&) = delete;
    CDJLog& operator=(const CDJLog&) = delete;

    // Callable from any thread.
    void log(std::string_view tag, std::string_view message);

    // Snapshot of the ring, oldest first.
    std::vector<CDJLogEntry> entries() const;

    // Called on the logging thread for every new entry; may be replaced at any time.
    void setOnEntry(std::function<void(const CDJLogEntry&)> fn);

    // High-volume diagnostic lines are written only while this is on.
    bool verbose() const { return verbose_.load(std::memory_order_relaxed); }
    void setVerbose(bool on) { verbose_.store(on, std::memory_order_relaxed); }

    // $XDG_STATE_HOME/Floorvote/Logs/cdjlink.log; the folder is created on first use.
    static std::filesystem::path defaultFilePath();
    // Redirects the file (tests); nullopt goes back to the default path, resolved on the next line.
    void setFilePath(std::optional<std::filesystem::path> path);
    std::filesystem::path filePath();
    void setRotateBytes(uint64_t bytes);

    // The file line of an entry: local "HH:mm:ss.SSS [TAG] message\n".
    static std::string fileLine(const CDJLogEntry& e);

private:
    void appendToFile(const std::string& line);
    void openFile();   // fileLock_ held
    void closeFile();  // fileLock_ held

    mutable std::mutex lock_;  // guards entries_ and onEntry_
    std::vector<CDJLogEntry> entries_;
    size_t head_ = 0;  // index of the oldest entry once the ring is full
    std::function<void(const CDJLogEntry&)> onEntry_;
    std::atomic<bool> verbose_{false};

    // The file stays open between lines (opening it for each line cost more than the line); it
    // is reopened after a rotation, and when the path no longer names it (moved or deleted by
    // someone else), which is checked at most once a second.
    std::mutex fileLock_;  // the path, the descriptor and rotation; a line itself is one O_APPEND write
    std::optional<std::filesystem::path> path_;
    bool pathResolved_ = false;
    uint64_t rotateBytes_ = defaultRotateBytes;
    int fd_ = -1;
    uint64_t fileSize_ = 0;  // as last seen plus what was written since
    uint64_t fileDev_ = 0, fileIno_ = 0;
    std::chrono::steady_clock::time_point nextCheck_{};  // of the path
};

// The process-wide log, created on first use.
CDJLog& cdjLog();

// Short form used by every link component.
inline void cdjLogLine(std::string_view tag, std::string_view message) { cdjLog().log(tag, message); }

}  // namespace fv::cdj
