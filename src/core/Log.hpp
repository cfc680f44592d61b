#pragma once
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace fv {

// Writes "[component] message" as one line (thread safe): to standard output unless disabled,
// to the sink when set, and with a time stamp to the log file when one is set.
void logLine(std::string_view component, std::string_view message);

template <typename... Args>
void logf(std::string_view component, fmt::format_string<Args...> f, Args&&... args) {
    logLine(component, fmt::format(f, std::forward<Args>(args)...));
}

// Tests capture lines here; the sink sees the full line without the newline.
using LogSink = std::function<void(const std::string& line)>;
void setLogSink(LogSink sink);
// Standard output stays on unless disabled (the program sends its log to the file instead).
void setLogToStdout(bool enabled);

// The program's log file: $XDG_STATE_HOME/floorvote/floorvote.log.
std::filesystem::path defaultLogFilePath();
inline constexpr uint64_t logRotateBytes = 5 * 1024 * 1024;
// Appends every line to this file from now on (nothing: no file). At rotateBytes the file is
// moved aside to "<name>.1", so at most two files are kept.
void setLogFile(std::optional<std::filesystem::path> path, uint64_t rotateBytes = logRotateBytes);

// Appends one line to a file that is rotated at rotateBytes, keeping one older file. Opened per
// line, so several processes and a rotation by another one never leave a line in a moved file.
// False when the line could not be written whole.
bool appendRotated(const std::filesystem::path& path, std::string_view line, uint64_t rotateBytes);

}  // namespace fv
