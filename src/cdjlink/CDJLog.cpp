#include "cdjlink/CDJLog.hpp"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/Log.hpp"
#include "core/Paths.hpp"
#include "core/Uuid.hpp"

namespace fv::cdj {

CDJLog::CDJLog() { entries_.reserve(capacity); }

CDJLog& cdjLog() {
    static CDJLog* log = new CDJLog;  // never destroyed: components may log during exit
    return *log;
}

void CDJLog::log(std::string_view tag, std::string_view message) {
    CDJLogEntry e{makeUuid(), std::chrono::system_clock::now(), std::string(tag), std::string(message)};
    std::function<void(const CDJLogEntry&)> cb;
    {
        std::lock_guard g(lock_);
        if (entries_.size() < capacity) {
            entries_.push_back(e);
        } else {
            entries_[head_] = e;
            head_ = (head_ + 1) % capacity;
        }
        cb = onEntry_;
    }
    logLine("CDJLink " + e.tag, e.message);
    appendToFile(fileLine(e));
    if (cb) cb(e);
}

std::vector<CDJLogEntry> CDJLog::entries() const {
    std::lock_guard g(lock_);
    std::vector<CDJLogEntry> out;
    out.reserve(entries_.size());
    for (size_t i = 0; i < entries_.size(); ++i) out.push_back(entries_[(head_ + i) % entries_.size()]);
    return out;
}

void CDJLog::setOnEntry(std::function<void(const CDJLogEntry&)> fn) {
    std::lock_guard g(lock_);
    onEntry_ = std::move(fn);
}

std::filesystem::path CDJLog::defaultFilePath() {
    auto dir = xdgStateHome() / "Floorvote" / "Logs";
    ensureDirectory(dir);  // a failure shows up as a failed open, which is swallowed
    return dir / "cdjlink.log";
}

void CDJLog::setFilePath(std::optional<std::filesystem::path> path) {
    std::lock_guard g(fileLock_);
    path_ = std::move(path);
    pathResolved_ = path_.has_value();
}

std::filesystem::path CDJLog::filePath() {
    std::lock_guard g(fileLock_);
    if (!pathResolved_) {
        path_ = defaultFilePath();
        pathResolved_ = true;
    }
    return *path_;
}

void CDJLog::setRotateBytes(uint64_t bytes) {
    std::lock_guard g(fileLock_);
    rotateBytes_ = bytes;
}

std::string CDJLog::fileLine(const CDJLogEntry& e) {
    auto t = std::chrono::system_clock::to_time_t(e.time);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(e.time.time_since_epoch()).count() % 1000;
    if (ms < 0) ms += 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    std::string line;
    line.reserve(e.tag.size() + e.message.size() + 20);
    line += stamp;
    line += " [";
    line += e.tag;
    line += "] ";
    line += e.message;
    line += '\n';
    return line;
}

void CDJLog::appendToFile(const std::string& line) {
    std::lock_guard g(fileLock_);
    if (!pathResolved_) {
        path_ = defaultFilePath();
        pathResolved_ = true;
    }
    const std::string path = path_->string();
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) return;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0 &&
        static_cast<uint64_t>(st.st_size) + line.size() > rotateBytes_) {
        // Keep one older file; the booth laptop runs for years and the log must not fill its disk.
        ::close(fd);
        const std::string older = path + ".1";
        ::rename(path.c_str(), older.c_str());
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) return;
    }
    // One write on an O_APPEND descriptor: a line is never torn or interleaved with another. A
    // short write (full disk, a signal) goes on with the rest; if that fails too, the line is
    // ended so the next one starts on its own.
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done > 0 && done < line.size()) (void)!::write(fd, "\n", 1);
    ::close(fd);
}

}  // namespace fv::cdj
