#include "platform/ProcessCheck.hpp"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "core/Files.hpp"

namespace fv {
namespace {
std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}
}  // namespace

bool isProcessRunning(std::string_view needle) {
    std::string n = lower(std::string(needle));
    std::error_code ec;
    const std::string self = std::to_string(getpid());
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const std::string pid = entry.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) continue;
        if (auto comm = readFile(entry.path() / "comm"); comm && lower(*comm).find(n) != std::string::npos) return true;
        // Only the program path (first argument): a command line that merely mentions the name does not count.
        if (auto cmd = readFile(entry.path() / "cmdline"); cmd && !cmd->empty()) {
            std::string exe = cmd->substr(0, cmd->find('\0'));
            exe = exe.substr(exe.rfind('/') == std::string::npos ? 0 : exe.rfind('/') + 1);
            if (lower(exe).find(n) != std::string::npos) return true;
        }
    }
    return false;
}

}  // namespace fv
