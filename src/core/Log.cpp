#include "core/Log.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "core/Paths.hpp"

namespace fv {
namespace {
std::mutex& logMutex() {
    static std::mutex m;
    return m;
}
LogSink& sink() {
    static LogSink s;
    return s;
}
bool toStdout = true;
struct FileTarget {
    std::optional<std::filesystem::path> path;
    uint64_t rotateBytes = logRotateBytes;
};
FileTarget& fileTarget() {
    static FileTarget f;
    return f;
}

std::string stamp() {
    auto now = std::chrono::system_clock::now();
    auto t = std::chrono::system_clock::to_time_t(now);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03d ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
    return buf;
}
}  // namespace

void logLine(std::string_view component, std::string_view message) {
    std::string line;
    line.reserve(component.size() + message.size() + 3);
    line += '[';
    line += component;
    line += "] ";
    line += message;
    std::lock_guard lock(logMutex());
    if (toStdout) {
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }
    if (auto& f = fileTarget(); f.path) (void)appendRotated(*f.path, stamp() + line + '\n', f.rotateBytes);
    if (sink()) sink()(line);
}

void setLogSink(LogSink s) {
    std::lock_guard lock(logMutex());
    sink() = std::move(s);
}

void setLogToStdout(bool enabled) {
    std::lock_guard lock(logMutex());
    toStdout = enabled;
}

std::filesystem::path defaultLogFilePath() { return xdgStateHome() / "floorvote" / "floorvote.log"; }

void setLogFile(std::optional<std::filesystem::path> path, uint64_t rotateBytes) {
    if (path) ensureDirectory(path->parent_path());
    std::lock_guard lock(logMutex());
    fileTarget() = {std::move(path), rotateBytes};
}

bool appendRotated(const std::filesystem::path& path, std::string_view line, uint64_t rotateBytes) {
    const std::string p = path.string();
    int fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && st.st_size > 0 && static_cast<uint64_t>(st.st_size) + line.size() > rotateBytes) {
        ::close(fd);
        const std::string older = p + ".1";
        ::rename(p.c_str(), older.c_str());
        fd = ::open(p.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) return false;
    }
    // One write on an O_APPEND descriptor keeps lines of several writers whole; a short write goes
    // on with the rest and, failing that, ends the line so the next one starts on its own.
    size_t done = 0;
    while (done < line.size()) {
        ssize_t n = ::write(fd, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (done > 0 && done < line.size() && line.back() == '\n') (void)!::write(fd, "\n", 1);
    ::close(fd);
    return done == line.size();
}

}  // namespace fv
