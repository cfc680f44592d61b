#pragma once
// Where a running `floorvote run` leaves its panel's address (with the run's token) for
// `floorvote panel`: a file of the user's alone (0600 in a 0700 folder of the runtime directory),
// removed when the session ends.
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace fv::panel {

// $XDG_RUNTIME_DIR/floorvote/panel-<port>.url, or under the state folder without a runtime directory.
std::filesystem::path panelLinkPath(uint16_t port);

// Throws std::system_error when the file cannot be written.
void writePanelLink(uint16_t port, const std::string& url);
void removePanelLink(uint16_t port);

struct PanelLink {
    std::string url;
    pid_t pid = 0;
    uint16_t port = 0;
};
// The link of the session on `port` (0: the newest of any port) whose process still runs.
std::optional<PanelLink> findPanelLink(uint16_t port);

}  // namespace fv::panel
