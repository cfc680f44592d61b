#pragma once
// Shared by floorvote export and the live session's export command.
#include <optional>
#include <string>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "djsoftware/PlaylistExportService.hpp"
#include "session/Records.hpp"

namespace fv::app {

// The tracks behind the requests of the chosen statuses ("confirmed", "played" or "all"), in request
// order; a request for a title the event's list lacks gives what the request knows.
std::vector<Track> tracksOfRequests(const std::vector<MusicRequest>& requests, const std::vector<Track>& eventTracks,
                                    const std::string& which);

// Exports with the DJ's stored settings: the program's library folder (the one given is kept per
// program for the next export), rekordbox's and Mixxx's databases.
boost::asio::awaitable<ExportResult> exportWithSettings(std::vector<Track> tracks, DJSoftwareType target,
                                                        std::string name, std::optional<std::string> folder);

}  // namespace fv::app
