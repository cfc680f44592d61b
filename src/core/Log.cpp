#include "core/Log.hpp"

#include <cstdio>
#include <mutex>

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

}  // namespace fv
