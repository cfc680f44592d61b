#pragma once
#include <string_view>

namespace fv {

// True when a running process's name or command contains needle (case-insensitive), read from /proc.
bool isProcessRunning(std::string_view needle);
inline bool isRekordboxRunning() { return isProcessRunning("rekordbox"); }

}  // namespace fv
