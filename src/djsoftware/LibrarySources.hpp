#pragma once
// The DJ's libraries as one list of track records for matching a streaming playlist: rekordbox,
// Serato, VirtualDJ, Mixxx, the Music library's XML export and plain folders of audio files.
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "djsoftware/RekordboxTrack.hpp"

namespace fv {

struct AppSettings;

struct LibrarySource {
    std::string key;       // rekordbox, serato, virtualdj, mixxx, applemusic, or a folder's path
    std::string name;      // what djSource says
    std::string location;  // the file or folder read
    bool found = false;    // something was there to read
    std::vector<RekordboxTrack> tracks;
    std::size_t skipped = 0;  // entries that could not be used (broken tags, no title)
    std::string error;        // German; empty when it was read
};

// The keys of the programs' libraries, in the order they are listed.
const std::vector<std::string>& librarySourceKeys();

// Reads the sources (keys as above, or a folder's path) with the DJ's settings; each one
// independently, a failure in its error text. Runs the rekordbox read on the Python queue.
boost::asio::awaitable<std::vector<LibrarySource>> loadLibrarySources(const AppSettings& settings,
                                                                     std::vector<std::string> keys);

// The single readers, pure file reading (tests call them directly).
LibrarySource seratoLibrary(const std::filesystem::path& seratoFolder);
LibrarySource virtualDJLibrary(const std::filesystem::path& databaseXml);
LibrarySource mixxxLibrary(const std::filesystem::path& database);
LibrarySource musicLibrary(const std::filesystem::path& xml);
LibrarySource folderLibrary(const std::filesystem::path& folder);

// Serato's "database V2": one record per track with path, title, artist, genre, length, BPM, key.
std::vector<RekordboxTrack> seratoDatabaseTracks(std::string_view bytes, std::size_t* skipped = nullptr);

}  // namespace fv
