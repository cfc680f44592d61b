#pragma once
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace fv {

// Writes "[component] message" as one line on standard output (thread safe).
void logLine(std::string_view component, std::string_view message);

template <typename... Args>
void logf(std::string_view component, fmt::format_string<Args...> f, Args&&... args) {
    logLine(component, fmt::format(f, std::forward<Args>(args)...));
}

// Tests capture lines here; the sink sees the full line without the newline.
using LogSink = std::function<void(const std::string& line)>;
void setLogSink(LogSink sink);
// Standard output stays on unless disabled (tests that flood the log turn it off).
void setLogToStdout(bool enabled);

}  // namespace fv
