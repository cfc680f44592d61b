#pragma once
// The Music application's world on a Linux machine: its library as the XML file it exports (read
// here), playlists written back as a plist file it imports, and the DJ's Apple Music cloud library
// over Apple's REST API.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "djsoftware/RekordboxTrack.hpp"

namespace fv {

class HttpClient;

struct AppleMusicTrack {
    std::string id;  // the library persistent ID in decimal, or the catalogue id
    std::string title;
    std::string artist;
    std::string album;
    int64_t durationMs = 0;
    std::optional<std::string> genre;
    std::optional<std::string> isrc;

    json toJson() const;
    bool operator==(const AppleMusicTrack&) const = default;
};

enum class AppleMusicPlaylistKind { regular, smart, system, folder };
std::string_view toString(AppleMusicPlaylistKind k);

struct AppleMusicPlaylistInfo {
    std::string id;  // the persistent ID in decimal
    std::string name;
    int64_t trackCount = 0;
    std::optional<std::string> description;
    AppleMusicPlaylistKind kind = AppleMusicPlaylistKind::regular;

    json toJson() const;
};

class AppleMusicError : public std::runtime_error {
public:
    // libraryUnreadable and requestFailed carry their own text; the others are fixed.
    enum class Kind { scriptFailed, notAvailable, playlistNotFound, noTracks, libraryUnreadable, requestFailed };
    AppleMusicError(Kind kind, const std::string& detail = {});
    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

// The Music library from its XML export ("Datei > Mediathek > Mediathek exportieren" on the DJ's
// Mac, or the iTunes Music Library.xml older versions keep up to date).
class ITunesLibraryService {
public:
    explicit ITunesLibraryService(std::filesystem::path xmlPath);

    // The settings' musicLibraryPath, else ~/Music/iTunes/iTunes Music Library.xml.
    static std::filesystem::path configuredPath();

    // Reads the file; throws AppleMusicError(libraryUnreadable) with what went wrong.
    void connect();
    // The same from a document in memory.
    void load(std::string_view xml);
    bool isConnected() const { return library_.has_value(); }
    const std::filesystem::path& path() const { return path_; }

    std::vector<AppleMusicPlaylistInfo> playlists() const;
    // "__ALL__": every track of the library; otherwise the playlist's tracks in order (unknown: none).
    std::vector<AppleMusicTrack> tracks(const std::string& playlistId) const;
    // The whole library as records for matching, djSource "Apple Music".
    std::vector<RekordboxTrack> libraryTracks() const;
    // Tracks of the file that could not be used (no persistent ID).
    std::size_t skippedTracks() const { return library_ ? library_->skipped : 0; }

    static constexpr const char* allTracks = "__ALL__";
    static constexpr const char* sourceName = "Apple Music";

    struct Item {
        int64_t trackId = 0;
        uint64_t persistentId = 0;
        std::string name, artist, album;
        std::optional<std::string> genre;
        int64_t totalTimeMs = 0;
        std::optional<double> bpm;
        std::optional<std::string> location;  // a local path
        std::optional<std::string> locationURL;  // as written
    };
    const Item* item(uint64_t persistentId) const;
    struct Playlist {
        uint64_t persistentId = 0;
        std::string name;
        std::optional<std::string> description;
        AppleMusicPlaylistKind kind = AppleMusicPlaylistKind::regular;
        std::vector<int64_t> trackIds;
    };

private:
    struct Library {
        std::vector<Item> items;
        std::unordered_map<int64_t, std::size_t> byTrackId;
        std::vector<Playlist> playlists;
        std::size_t skipped = 0;
    };
    void read(std::istream& in);
    AppleMusicTrack trackOf(const Item& item) const;

    std::filesystem::path path_;
    std::optional<Library> library_;
};

struct AppleMusicCredentials {
    std::optional<std::string> developerToken;  // keychain "appleMusicDeveloperToken"
    std::optional<std::string> userToken;       // keychain "appleMusicUserToken"
    // Both from the keychain; empty texts count as missing.
    static AppleMusicCredentials fromKeychain();
};

// Writes playlists: into the DJ's Apple Music cloud library over the REST API, or as a playlist
// file for the Music application ("Datei > Mediathek > Playlist importieren").
class AppleMusicService {
public:
    // apiBase: scheme and host, e.g. https://api.music.apple.com (FLOORVOTE_APPLE_MUSIC_API_URL).
    AppleMusicService(HttpClient& http, std::string apiBase, AppleMusicCredentials credentials);
    static std::string apiBaseFromEnvironment();

    // A library playlist with these catalogue songs; the new playlist's id. Throws AppleMusicError:
    // notAvailable without tokens, requestFailed ("HTTP " + status, or the connection's failure).
    boost::asio::awaitable<std::string> createLibraryPlaylist(std::string name, std::vector<std::string> songIds);

    // A plist playlist file holding the library's tracks with these persistent IDs, in this order;
    // IDs not in the library are left out. The number of tracks written. Throws noTracks for no IDs,
    // scriptFailed when the file cannot be written.
    static int createLocalPlaylist(const std::string& name, const std::vector<uint64_t>& persistentIds,
                                   const ITunesLibraryService& library, const std::filesystem::path& file);
    // 16 upper-case hexadecimal digits, as the Music application writes them.
    static std::string persistentIdText(uint64_t id);

private:
    HttpClient& http_;
    std::string apiBase_;
    AppleMusicCredentials credentials_;
};

// A file:// URL as the Music library writes locations, as a local path; nothing for other URLs.
std::optional<std::string> fileURLToPath(std::string_view url);

}  // namespace fv
