#pragma once
// Importing a streaming playlist: the DJ's libraries to match against, the matching with a progress
// bar, and the results as a table or JSON. Shared by every `floorvote import` source.
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "djsoftware/LibrarySources.hpp"
#include "djsoftware/PlaylistMatchingEngine.hpp"

namespace fv::app {

// `floorvote import`: each playlist source adds its subcommand here (whichever registers first
// creates it).
CLI::App* importCommand(CLI::App& root);

// The libraries named (librarySourceKeys() or a folder's path); none named: every program's library
// that is there. A named one that cannot be read fails the command; without names such a one is
// only mentioned on standard error. No tracks at all fails the command.
std::vector<LibrarySource> resolveLibrarySources(const std::vector<std::string>& wanted);

// Matches the tracks in order against all sources (a progress bar on a terminal unless asJson) and
// fills session.results and totalTracks.
void matchPlaylist(PlaylistImportSession& session, const std::vector<SpotifyTrack>& tracks,
                   const std::vector<LibrarySource>& sources, bool asJson);

// Prints the results: a table with a summary line, or one JSON document.
void renderImportResults(const PlaylistImportSession& session, const std::vector<LibrarySource>& sources,
                         bool asJson);

// One result as JSON (status, score, track or candidates with their library).
json importResultJson(const PlaylistMatchResult& r);

}  // namespace fv::app
