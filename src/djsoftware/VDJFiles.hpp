#pragma once
// VirtualDJ's own files: folder lists (".vdjfolder") and the library ("database.xml"). Pure code:
// text in, records out, and the folder writer's exact bytes.
#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fv {

struct VDJFolderSong {
    std::string path;
    std::string artist, title, remix, key;
    std::optional<double> bpm;
    double duration = 0;  // seconds

    bool operator==(const VDJFolderSong&) const = default;
};

struct VDJTrackInfo {
    std::string artist, title, genre, key;
    std::optional<double> bpm;  // as stored: VirtualDJ keeps seconds per beat
    int64_t duration = 0;       // whole seconds

    // Beats per minute from the stored value (60 / seconds per beat); none when absent or not positive.
    std::optional<double> tempo() const;
    bool operator==(const VDJTrackInfo&) const = default;
};

// A file that is not well-formed XML. The text is German and names the line.
class VDJFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The songs of a folder list in file order. Nested folder references are skipped; broken XML
// throws, so that nobody rewrites a list from half of it.
class VDJFolderParser {
public:
    std::vector<VDJFolderSong> songs;
    void parse(std::string_view xml, const std::string& what);
};

// The library: file path to track information.
class VDJDatabaseParser {
public:
    std::map<std::string, VDJTrackInfo> result;
    std::string currentFilePath;
    VDJTrackInfo currentInfo;
    void parse(std::string_view xml, const std::string& what);
};

// The whole folder document; every line ends with a line feed.
std::string vdjFolderDocument(const std::vector<VDJFolderSong>& songs);
// An attribute value: & " < > escaped, in that order.
std::string vdjEscape(std::string_view v);
// A number as VirtualDJ's files hold it: the whole text must be a finite number.
std::optional<double> vdjNumber(std::string_view text);

}  // namespace fv
