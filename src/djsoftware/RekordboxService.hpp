#pragma once
// rekordbox through the shipped Python module: every call runs on the one serial queue
// "floorvote.rekordbox.python.queue" and resumes on the caller's executor, so the main loop never
// waits for Python.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include <boost/asio/awaitable.hpp>

#include "core/Json.hpp"
#include "core/SerialQueue.hpp"
#include "djsoftware/RekordboxTrack.hpp"

namespace fv {

inline constexpr const char* rekordboxPythonQueueName = "floorvote.rekordbox.python.queue";
// The keychain item that holds the SQLCipher key of the DJ's master.db.
inline constexpr const char* rekordboxKeyService = "floorvote.rekordbox";
inline constexpr const char* rekordboxKeyAccount = "master.db";
// For scripts: the key in the environment (used when the keychain has none).
inline constexpr const char* rekordboxKeyEnv = "FLOORVOTE_REKORDBOX_KEY";

class RekordboxServiceError : public std::runtime_error {
public:
    enum class Kind { databaseAccessFailed, pythonRuntimeMissing, databaseNotFound };
    static RekordboxServiceError databaseAccessFailed(const std::string& text);
    static RekordboxServiceError pythonRuntimeMissing();
    static RekordboxServiceError databaseNotFound();
    Kind kind() const { return kind_; }

private:
    RekordboxServiceError(Kind k, const std::string& text) : std::runtime_error(text), kind_(k) {}
    Kind kind_;
};

// The module answered a write with ok false; what() is its error text ("Unknown error" without one).
class RekordboxOperationError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct RekordboxPlaylist {
    std::string id;
    std::string name;
    int64_t trackCount = 0;
    std::optional<std::string> path;
    std::optional<int64_t> sequence;
    std::optional<std::string> parentId;
    bool isFolder = false;

    static RekordboxPlaylist fromJson(const json& j);
    bool operator==(const RekordboxPlaylist&) const = default;
};

struct RekordboxNowPlaying {
    std::string title;
    std::string artist;

    static RekordboxNowPlaying fromJson(const json& j);
    bool operator==(const RekordboxNowPlaying&) const = default;
};

struct RekordboxAccessValidation {
    bool ok = false;
    std::optional<std::string> error;
    std::optional<std::string> type;
    std::optional<int64_t> trackCount;

    static RekordboxAccessValidation fromJson(const json& j);
    bool operator==(const RekordboxAccessValidation&) const = default;
};

// One argument of a module function.
using PythonArg = std::variant<std::string, int64_t, std::vector<std::string>>;

// What a module function returned: JSON text, a dictionary (as JSON text) or something else.
struct PythonResult {
    enum class Kind { text, dict, other } kind = Kind::other;
    std::string text;
};

class RekordboxService {
public:
    template <typename T>
    using Task = boost::asio::awaitable<T>;

    static RekordboxService& shared();
    RekordboxService();
    ~RekordboxService();
    RekordboxService(const RekordboxService&) = delete;
    RekordboxService& operator=(const RekordboxService&) = delete;

    SerialQueue& pythonQueue() { return *queue_; }
    bool isInitialized() const { return initialized_; }

    // The SQLCipher key: the keychain item, else the environment variable. Replaceable (tests).
    std::function<std::optional<std::string>()> keyProvider;

    // Runs body on the Python queue (inline when already there) and resumes the caller on its
    // own executor. The runtime is configured on first use; a Python exception becomes
    // databaseAccessFailed("Python-Fehler: …").
    template <typename T>
    Task<T> safePythonCall(std::function<T()> body);

    // Calls one function of rekordbox_bridge; only on the Python queue (inside safePythonCall).
    PythonResult callModule(const std::string& function, const std::vector<PythonArg>& args);

    Task<RekordboxAccessValidation> validateAccess(std::string dbPath, std::string appSupportPath);
    Task<std::vector<RekordboxPlaylist>> listPlaylists(std::string dbPath, std::string appSupportPath);
    Task<std::vector<RekordboxTrack>> listTracks(std::string dbPath, std::string appSupportPath,
                                                 std::string playlistId,
                                                 std::optional<int64_t> maxCount = std::nullopt);
    Task<std::optional<RekordboxNowPlaying>> getNowPlaying(std::string dbPath, std::string appSupportPath);

    // Writes; a refusal of the module throws RekordboxOperationError with its text.
    Task<std::string> createPlaylist(std::string dbPath, std::string appSupportPath, std::string name,
                                     std::string parentFolder = "Floorvote");
    Task<void> addTrackToPlaylist(std::string dbPath, std::string appSupportPath, std::string playlistId,
                                  std::string contentId, int64_t position);
    Task<void> removeTrackFromPlaylist(std::string dbPath, std::string appSupportPath, std::string playlistId,
                                       std::string contentId);
    Task<void> reorderPlaylist(std::string dbPath, std::string appSupportPath, std::string playlistId,
                               std::vector<std::string> contentIds);
    Task<bool> playlistExists(std::string dbPath, std::string appSupportPath, std::string playlistId);
    // Arguments after the paths: file path, title, artist, album, genre, duration in seconds.
    Task<std::string> getOrCreateContentId(std::string dbPath, std::string appSupportPath, std::string filePath,
                                           std::string title, std::string artist, std::string album,
                                           std::string genre, int64_t durationSeconds);

    // The CDJ library manager's calls: JSON text in, the module's JSON text out ("{}" when the
    // result is not text).
    // A new playlist with the entries in one transaction (see export_playlist); the answer as JSON:
    // {"playlist_id", "exported", "skipped": [indices]}. Throws RekordboxOperationError.
    Task<std::string> exportPlaylist(std::string dbPath, std::string appSupportPath, std::string name,
                                     std::string entriesJson);
    Task<std::string> resolveCdjContentIds(std::string dbPath, std::string appSupportPath, std::string wantedJson);
    Task<std::string> exportCdjTracks(std::string dbPath, std::string appSupportPath, std::string idsJson,
                                      std::string artworkFolder);

    // Where a rekordbox library may be on this computer (macOS paths under a mounted home, a Wine
    // prefix, the XDG data folder).
    static std::optional<std::string> detectMasterDb();
    static std::optional<std::string> detectAppSupport();
    static std::optional<std::string> detectMasterDb(const std::filesystem::path& home);
    static std::optional<std::string> detectAppSupport(const std::filesystem::path& home);
    // The keychain item, else the environment variable (the default keyProvider).
    static std::optional<std::string> storedKey();
    static bool isRekordboxRunning();

private:
    void ensureInitialized();
    template <typename T>
    T runBody(const std::function<T()>& body);
    std::string callForText(const std::string& function, const std::vector<PythonArg>& args,
                            const std::string& fallback);
    json callForDict(const std::string& function, const std::vector<PythonArg>& args);

    std::unique_ptr<SerialQueue> queue_;
    bool initialized_ = false;
    std::optional<std::string> keyGiven_;  // the key last handed to the module (queue only)
    bool keyKnown_ = false;
};

// Reads "ok"/"error" of a write's dictionary; returns the wanted key's value as text (empty when
// wantedKey is empty). Throws RekordboxOperationError.
std::string decodeWriteResult(const json& dict, const std::string& wantedKey);

}  // namespace fv

#include "djsoftware/RekordboxService.ipp"
