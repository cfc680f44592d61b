#pragma once
// rekordbox 6/7 master.db files for tests and benchmarks: the tables and columns the module uses,
// as rekordbox has them (text IDs, the standard bookkeeping columns, agentRegistry), plain or
// encrypted with SQLCipher 4's defaults, plus masterPlaylists6.xml beside the database.
#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace fv::test {

inline constexpr const char* rekordboxSchema =
    "CREATE TABLE agentRegistry (registry_id VARCHAR(255) NOT NULL PRIMARY KEY, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, id_1 VARCHAR(255), id_2 VARCHAR(255), int_1 BIGINT, int_2 BIGINT, str_1 VARCHAR(255), str_2 VARCHAR(255), date_1 DATETIME, date_2 DATETIME, text_1 TEXT, text_2 TEXT);\n"
    "CREATE TABLE djmdProperty (DBID VARCHAR(255) NOT NULL PRIMARY KEY, DBVersion VARCHAR(255), BaseDBDrive VARCHAR(255), CurrentDBDrive VARCHAR(255), DeviceID VARCHAR(255), Reserved1 TEXT, Reserved2 TEXT, Reserved3 TEXT, Reserved4 TEXT, Reserved5 TEXT, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL);\n"
    "CREATE TABLE djmdDevice (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, MasterDBID VARCHAR(255), Name VARCHAR(255));\n"
    "CREATE TABLE djmdArtist (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, Name VARCHAR(255), SearchStr VARCHAR(255));\n"
    "CREATE TABLE djmdAlbum (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, Name VARCHAR(255), AlbumArtistID VARCHAR(255), ImagePath VARCHAR(255), Compilation INTEGER, SearchStr VARCHAR(255));\n"
    "CREATE TABLE djmdGenre (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, Name VARCHAR(255));\n"
    "CREATE TABLE djmdKey (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, ScaleName VARCHAR(255), Seq INTEGER);\n"
    "CREATE TABLE djmdLabel (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, Name VARCHAR(255));\n"
    "CREATE TABLE djmdColor (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, ColorCode INTEGER, SortKey INTEGER, Commnt VARCHAR(255));\n"
    "CREATE TABLE djmdContent (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, FolderPath VARCHAR(255), FileNameL VARCHAR(255), FileNameS VARCHAR(255), Title VARCHAR(255), ArtistID VARCHAR(255), AlbumID VARCHAR(255), GenreID VARCHAR(255), BPM INTEGER, Length INTEGER, TrackNo INTEGER, BitRate INTEGER, BitDepth INTEGER, Commnt TEXT, FileType INTEGER, Rating INTEGER, ReleaseYear INTEGER, RemixerID VARCHAR(255), LabelID VARCHAR(255), OrgArtistID VARCHAR(255), KeyID VARCHAR(255), StockDate VARCHAR(255), ColorID VARCHAR(255), DJPlayCount INTEGER, ImagePath VARCHAR(255), MasterDBID VARCHAR(255), MasterSongID VARCHAR(255), AnalysisDataPath VARCHAR(255), SearchStr VARCHAR(255), FileSize INTEGER, DiscNo INTEGER, ComposerID VARCHAR(255), Subtitle VARCHAR(255), SampleRate INTEGER, DisableQuantize INTEGER, Analysed INTEGER, ReleaseDate VARCHAR(255), DateCreated VARCHAR(255), ContentLink INTEGER, Tag VARCHAR(255), ModifiedByRBM VARCHAR(255), HotCueAutoLoad VARCHAR(255), DeliveryControl VARCHAR(255), DeliveryComment VARCHAR(255), CueUpdated VARCHAR(255), AnalysisUpdated VARCHAR(255), TrackInfoUpdated VARCHAR(255), Lyricist VARCHAR(255), ISRC VARCHAR(255), SamplerTrackInfo INTEGER, SamplerPlayOffset INTEGER, SamplerGain FLOAT, VideoAssociate VARCHAR(255), LyricStatus INTEGER, ServiceID INTEGER, OrgFolderPath VARCHAR(255), Reserved1 TEXT, Reserved2 TEXT, Reserved3 TEXT, Reserved4 TEXT, ExtInfo TEXT, rb_file_id VARCHAR(255), DeviceID VARCHAR(255), rb_LocalFolderPath VARCHAR(255), SrcID VARCHAR(255), SrcTitle VARCHAR(255), SrcArtistName VARCHAR(255), SrcAlbumName VARCHAR(255), SrcLength INTEGER);\n"
    "CREATE TABLE djmdCue (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, ContentID VARCHAR(255), InMsec INTEGER, InFrame INTEGER, InMpegFrame INTEGER, InMpegAbs INTEGER, OutMsec INTEGER, OutFrame INTEGER, OutMpegFrame INTEGER, OutMpegAbs INTEGER, Kind INTEGER, Color INTEGER, ColorTableIndex INTEGER, ActiveLoop INTEGER, Comment VARCHAR(255), BeatLoopSize INTEGER, CueMicrosec INTEGER, InPointSeekInfo VARCHAR(255), OutPointSeekInfo VARCHAR(255), ContentUUID VARCHAR(255));\n"
    "CREATE TABLE djmdPlaylist (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, Seq INTEGER, Name VARCHAR(255), ImagePath VARCHAR(255), Attribute INTEGER, ParentID VARCHAR(255), SmartList TEXT);\n"
    "CREATE TABLE djmdSongPlaylist (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, PlaylistID VARCHAR(255), ContentID VARCHAR(255), TrackNo INTEGER);\n"
    "CREATE TABLE djmdHistory (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, Seq INTEGER, Name VARCHAR(255), Attribute INTEGER, ParentID VARCHAR(255), DateCreated VARCHAR(255));\n"
    "CREATE TABLE djmdSongHistory (ID VARCHAR(255) NOT NULL PRIMARY KEY, UUID VARCHAR(255), rb_data_status INTEGER DEFAULT 0, rb_local_data_status INTEGER DEFAULT 0, rb_local_deleted TINYINT(1) DEFAULT 0, rb_local_synced TINYINT(1) DEFAULT 0, usn BIGINT DEFAULT NULL, rb_local_usn BIGINT DEFAULT NULL, created_at DATETIME NOT NULL, updated_at DATETIME NOT NULL, HistoryID VARCHAR(255), ContentID VARCHAR(255), TrackNo INTEGER);\n"
    "CREATE INDEX djmdContent_FolderPath ON djmdContent(FolderPath);\n"
    "CREATE INDEX djmdSongPlaylist_PlaylistID ON djmdSongPlaylist(PlaylistID);\n"
    "CREATE INDEX djmdCue_ContentID ON djmdCue(ContentID);\n";

struct RbTrack {
    std::string id;
    std::string title;
    std::string artist;
    std::string album;
    std::string genre;
    std::string key;
    std::string path;
    std::string analysisPath;  // AnalysisDataPath, e.g. "/PIONEER/USBANLZ/p1/ANLZ0000.DAT"
    std::string imagePath;
    std::string isrc;
    int64_t bpm100 = 12800;
    int64_t length = 240;
    int64_t fileSize = 0;
};

inline RbTrack rbTrack(std::string title, std::string artist, std::string album, std::string genre, std::string key,
                       std::string path, std::string analysisPath = {}, std::string imagePath = {},
                       std::string isrc = {}, int64_t bpm100 = 12800, int64_t length = 240) {
    RbTrack t;
    t.title = std::move(title);
    t.artist = std::move(artist);
    t.album = std::move(album);
    t.genre = std::move(genre);
    t.key = std::move(key);
    t.path = std::move(path);
    t.analysisPath = std::move(analysisPath);
    t.imagePath = std::move(imagePath);
    t.isrc = std::move(isrc);
    t.bpm100 = bpm100;
    t.length = length;
    return t;
}

class RekordboxTestDb {
public:
    static constexpr const char* created = "2024-05-01 10:00:00.000 +00:00";

    // Creates folder/master.db (encrypted when a key is given) and masterPlaylists6.xml.
    explicit RekordboxTestDb(std::filesystem::path folder, std::optional<std::string> key = std::nullopt,
                             int64_t localUpdateCount = 100)
        : folder_(std::move(folder)), key_(std::move(key)) {
        std::filesystem::create_directories(folder_);
        open();
        exec(rekordboxSchema);
        exec("INSERT INTO agentRegistry (registry_id, created_at, updated_at, int_1) VALUES "
             "('localUpdateCount', '" + std::string(created) + "', '" + created + "', " +
             std::to_string(localUpdateCount) + ")");
        exec("INSERT INTO djmdProperty (DBID, DBVersion, created_at, updated_at) VALUES ('1234', '6000', '" +
             std::string(created) + "', '" + created + "')");
        exec("INSERT INTO djmdDevice (ID, UUID, created_at, updated_at, MasterDBID, Name) VALUES ('77', "
             "'d0000000-0000-4000-8000-000000000077', '" + std::string(created) + "', '" + created +
             "', '1234', 'Laptop')");
        std::ofstream(folder_ / "masterPlaylists6.xml", std::ios::binary) << xmlHead << xmlTail;
    }
    ~RekordboxTestDb() { close(); }
    RekordboxTestDb(const RekordboxTestDb&) = delete;
    RekordboxTestDb& operator=(const RekordboxTestDb&) = delete;

    static constexpr const char* xmlHead =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\r\n\r\n<MASTER_PLAYLIST Version=\"3.0.0\" "
        "AutomaticSync=\"0\">\r\n  <PRODUCT Name=\"rekordbox\" Version=\"6.6.11\" Company=\"Pioneer DJ\"/>\r\n"
        "  <PLAYLISTS>\r\n";
    static constexpr const char* xmlTail = "  </PLAYLISTS>\r\n</MASTER_PLAYLIST>\r\n";

    std::filesystem::path file() const { return folder_ / "master.db"; }
    const std::filesystem::path& folder() const { return folder_; }

    void open() {
        if (db_) return;
        if (sqlite3_open(file().c_str(), &db_) != SQLITE_OK) throw std::runtime_error("open test db");
        if (key_) sqlite3_key(db_, key_->data(), static_cast<int>(key_->size()));
        sqlite3_busy_timeout(db_, 5000);  // the code under test may be writing meanwhile
    }
    // Closed while the code under test writes, so nothing of ours holds a lock or a cache.
    void close() {
        if (db_) sqlite3_close(db_);
        db_ = nullptr;
    }

    void exec(const std::string& sql) {
        open();
        char* err = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
            std::string e = err ? err : "?";
            sqlite3_free(err);
            throw std::runtime_error("test db: " + e + " in " + sql.substr(0, 200));
        }
    }
    std::vector<std::vector<std::string>> rows(const std::string& sql) {
        open();
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st, nullptr) != SQLITE_OK)
            throw std::runtime_error(std::string("test db: ") + sqlite3_errmsg(db_));
        std::vector<std::vector<std::string>> out;
        while (sqlite3_step(st) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int c = 0; c < sqlite3_column_count(st); ++c) {
                const unsigned char* t = sqlite3_column_text(st, c);
                row.push_back(t ? reinterpret_cast<const char*>(t) : "<null>");
            }
            out.push_back(std::move(row));
        }
        sqlite3_finalize(st);
        return out;
    }
    std::string one(const std::string& sql) {
        auto r = rows(sql);
        return r.empty() || r[0].empty() ? std::string("<none>") : r[0][0];
    }

    static std::string quote(const std::string& s) {
        std::string out = "'";
        for (char c : s) out += c == '\'' ? std::string("''") : std::string(1, c);
        return out + "'";
    }

    // A row of a name table (artist, album, genre, key), made once per name.
    std::string named(const std::string& table, const std::string& column, const std::string& name) {
        if (name.empty()) return {};
        auto& ids = names_[table];
        if (auto it = ids.find(name); it != ids.end()) return it->second;
        std::string id = std::to_string(nextId_++);
        exec("INSERT INTO " + table + " (ID, UUID, created_at, updated_at, " + column + ") VALUES ('" + id + "', '" +
             uuidFor(id) + "', '" + created + "', '" + created + "', " + quote(name) + ")");
        ids.emplace(name, id);
        return id;
    }

    std::string addTrack(RbTrack t) {
        if (t.id.empty()) t.id = std::to_string(nextId_++);
        const std::string artist = named("djmdArtist", "Name", t.artist);
        const std::string album = named("djmdAlbum", "Name", t.album);
        const std::string genre = named("djmdGenre", "Name", t.genre);
        const std::string key = named("djmdKey", "ScaleName", t.key);
        auto orNull = [](const std::string& v) { return v.empty() ? std::string("NULL") : quote(v); };
        exec("INSERT INTO djmdContent (ID, UUID, created_at, updated_at, FolderPath, FileNameL, Title, ArtistID, "
             "AlbumID, GenreID, KeyID, BPM, Length, FileSize, AnalysisDataPath, ImagePath, ISRC, FileType, Rating, "
             "ReleaseYear, Commnt) VALUES (" +
             quote(t.id) + ", '" + uuidFor(t.id) + "', '" + created + "', '" + created + "', " + quote(t.path) + ", " +
             quote(std::filesystem::path(t.path).filename().string()) + ", " + quote(t.title) + ", " +
             orNull(artist) + ", " + orNull(album) + ", " + orNull(genre) + ", " + orNull(key) + ", " +
             std::to_string(t.bpm100) + ", " + std::to_string(t.length) + ", " + std::to_string(t.fileSize) + ", " +
             orNull(t.analysisPath) + ", " + orNull(t.imagePath) + ", " + orNull(t.isrc) + ", 1, 3, 2019, 'Kommentar')");
        return t.id;
    }

    // A playlist (attribute 0) or folder (1) with its songs; also a NODE line in the XML.
    std::string addPlaylist(const std::string& name, const std::string& parent = "root", int attribute = 0,
                            const std::vector<std::string>& contentIds = {}, std::string id = {}) {
        if (id.empty()) id = std::to_string(nextId_++);
        const std::string seq = one("SELECT coalesce(max(Seq), 0) + 1 FROM djmdPlaylist WHERE ParentID = " +
                                    quote(parent));
        exec("INSERT INTO djmdPlaylist (ID, UUID, created_at, updated_at, Seq, Name, Attribute, ParentID, "
             "rb_local_usn) VALUES (" + quote(id) + ", '" + uuidFor(id) + "', '" + created + "', '" + created +
             "', " + seq + ", " + quote(name) + ", " + std::to_string(attribute) + ", " + quote(parent) + ", 1)");
        int no = 1;
        for (const auto& c : contentIds) {
            const std::string sid = std::to_string(nextId_++);
            exec("INSERT INTO djmdSongPlaylist (ID, UUID, created_at, updated_at, PlaylistID, ContentID, TrackNo) "
                 "VALUES ('" + sid + "', '" + uuidFor(sid) + "', '" + created + "', '" + created + "', " + quote(id) +
                 ", " + quote(c) + ", " + std::to_string(no++) + ")");
        }
        appendNode(id, parent, attribute);
        return id;
    }

    // A history list of the given day ("YYYY-MM-DD") with its songs, the last one played last.
    std::string addHistory(const std::string& day, const std::vector<std::string>& contentIds) {
        const std::string id = std::to_string(nextId_++);
        exec("INSERT INTO djmdHistory (ID, UUID, created_at, updated_at, Seq, Name, Attribute, ParentID, DateCreated) "
             "VALUES ('" + id + "', '" + uuidFor(id) + "', '" + created + "', '" + created + "', 1, " + quote(day) +
             ", 0, 'root', " + quote(day) + ")");
        int no = 1;
        for (const auto& c : contentIds) {
            const std::string sid = std::to_string(nextId_++);
            const std::string at = day + " 2" + std::to_string(no) + ":00:00.000 +00:00";
            exec("INSERT INTO djmdSongHistory (ID, UUID, created_at, updated_at, HistoryID, ContentID, TrackNo) "
                 "VALUES ('" + sid + "', '" + uuidFor(sid) + "', '" + at + "', '" + at + "', '" + id + "', " +
                 quote(c) + ", " + std::to_string(no++) + ")");
        }
        return id;
    }

    void addCue(const std::string& contentId, int64_t kind, int64_t inMs, int64_t outMs, int64_t colorIndex,
                const std::string& comment) {
        const std::string id = std::to_string(nextId_++);
        exec("INSERT INTO djmdCue (ID, UUID, created_at, updated_at, ContentID, InMsec, OutMsec, Kind, Color, "
             "ColorTableIndex, Comment) VALUES ('" + id + "', '" + uuidFor(id) + "', '" + created + "', '" + created +
             "', " + quote(contentId) + ", " + std::to_string(inMs) + ", " + std::to_string(outMs) + ", " +
             std::to_string(kind) + ", -1, " + std::to_string(colorIndex) + ", " + quote(comment) + ")");
    }

    std::string xml() const {
        std::ifstream f(folder_ / "masterPlaylists6.xml", std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), {});
    }

private:
    static std::string uuidFor(const std::string& id) {
        std::string digits = id;
        while (digits.size() < 12) digits = "0" + digits;
        return "00000000-0000-4000-8000-" + digits.substr(digits.size() - 12);
    }
    void appendNode(const std::string& id, const std::string& parent, int attribute) {
        auto hex = [](const std::string& v) {
            if (v == "root") return std::string("0");
            char buf[32];
            std::snprintf(buf, sizeof buf, "%llX", std::stoull(v));
            return std::string(buf);
        };
        std::string text = xml();
        const std::string line = "    <NODE Id=\"" + hex(id) + "\" ParentId=\"" + hex(parent) + "\" Attribute=\"" +
                                 std::to_string(attribute) + "\" Timestamp=\"1714557600000\" Lib_Type=\"0\" "
                                 "CheckType=\"0\"/>\r\n";
        text.insert(text.find("  </PLAYLISTS>"), line);
        std::ofstream(folder_ / "masterPlaylists6.xml", std::ios::binary | std::ios::trunc) << text;
    }

    std::filesystem::path folder_;
    std::optional<std::string> key_;
    sqlite3* db_ = nullptr;
    int64_t nextId_ = 1000;
    std::map<std::string, std::map<std::string, std::string>> names_;
};

}  // namespace fv::test
