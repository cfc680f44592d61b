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

namespace {
constexpr auto fileCheckInterval = std::chrono::seconds(1);
}

CDJLog::CDJLog() { entries_.reserve(capacity); }

CDJLog::~CDJLog() {
    std::lock_guard g(fileLock_);
    closeFile();
}

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
    closeFile();
    nextCheck_ = {};
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

void CDJLog::closeFile() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    fileSize_ = 0;
}

void CDJLog::openFile() {
    closeFile();
    const std::string path = path_->string();
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    struct stat st {};
    if (::fstat(fd_, &st) == 0) {
        fileSize_ = static_cast<uint64_t>(st.st_size);
        fileDev_ = static_cast<uint64_t>(st.st_dev);
        fileIno_ = static_cast<uint64_t>(st.st_ino);
    }
}

void CDJLog::appendToFile(const std::string& line) {
    std::lock_guard g(fileLock_);
    if (!pathResolved_) {
        path_ = defaultFilePath();
        pathResolved_ = true;
    }
    const auto now = std::chrono::steady_clock::now();
    if (fd_ < 0) {
        openFile();
        nextCheck_ = now + fileCheckInterval;
        if (fd_ < 0) return;
    } else if (now >= nextCheck_) {
        // Someone else may have moved or deleted the file, or written to it too.
        nextCheck_ = now + fileCheckInterval;
        struct stat st {};
        if (::stat(path_->c_str(), &st) != 0 || static_cast<uint64_t>(st.st_dev) != fileDev_ ||
            static_cast<uint64_t>(st.st_ino) != fileIno_) {
            openFile();
            if (fd_ < 0) return;
        } else {
            fileSize_ = static_cast<uint64_t>(st.st_size);
        }
    }
    if (fileSize_ > 0 && fileSize_ + line.size() > rotateBytes_) {
        // Keep one older file; the booth laptop runs for years and the log must not fill its disk.
        const std::string path = path_->string();
        const std::string older = path + ".1";
        ::rename(path.c_str(), older.c_str());
        openFile();
        if (fd_ < 0) return;
    }
    // One write on an O_APPEND descriptor: a line is never torn or interleaved with another. A
    // short write (full disk, a signal) goes on with the rest; if that fails too, the line is
    // ended so the next one starts on its own.
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd_, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done > 0 && done < line.size() && ::write(fd_, "\n", 1) == 1) ++done;
    fileSize_ += done;
}

}  // namespace fv::cdj
