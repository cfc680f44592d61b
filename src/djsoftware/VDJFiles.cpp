#include "djsoftware/VDJFiles.hpp"

#include <expat.h>
#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "djsoftware/TextCodec.hpp"

namespace fv {

namespace {

// Calls on(element name, attribute list) for each start tag and off(name) for each end tag.
template <typename Start, typename End>
void parseXml(std::string_view xml, const std::string& what, Start on, End off) {
    struct Ctx {
        Start& on;
        End& off;
    } ctx{on, off};
    XML_Parser p = XML_ParserCreate(nullptr);
    if (!p) throw VDJFileError("Kein Speicher zum Lesen von " + what);
    XML_SetUserData(p, &ctx);
    XML_SetElementHandler(
        p, [](void* data, const XML_Char* name, const XML_Char** attrs) { static_cast<Ctx*>(data)->on(name, attrs); },
        [](void* data, const XML_Char* name) { static_cast<Ctx*>(data)->off(name); });
    bool ok = true;
    // expat takes int lengths: feed large files in pieces.
    constexpr size_t chunk = 1 << 20;
    size_t at = 0;
    do {
        size_t n = std::min(chunk, xml.size() - at);
        bool last = at + n == xml.size();
        if (XML_Parse(p, xml.data() + at, int(n), last) == XML_STATUS_ERROR) {
            ok = false;
            break;
        }
        at += n;
    } while (at < xml.size());
    if (!ok) {
        std::string msg = fmt::format("{} ist beschädigt (XML-Fehler in Zeile {}: {})", what,
                                      XML_GetCurrentLineNumber(p), XML_ErrorString(XML_GetErrorCode(p)));
        XML_ParserFree(p);
        throw VDJFileError(msg);
    }
    XML_ParserFree(p);
}

const char* attr(const XML_Char** attrs, const char* name) {
    for (int i = 0; attrs[i]; i += 2)
        if (std::strcmp(attrs[i], name) == 0) return attrs[i + 1];
    return nullptr;
}

std::string attrText(const XML_Char** attrs, const char* name) {
    const char* v = attr(attrs, name);
    return v ? std::string(v) : std::string();
}

bool endsWith(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace

std::optional<double> vdjNumber(std::string_view text) {
    double v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty() || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<double> VDJTrackInfo::tempo() const {
    if (!bpm || *bpm <= 0) return std::nullopt;
    return 60.0 / *bpm;
}

void VDJFolderParser::parse(std::string_view xml, const std::string& what) {
    songs.clear();
    parseXml(
        xml, what,
        [&](const char* name, const XML_Char** attrs) {
            if (std::strcmp(name, "song") != 0) return;
            const char* path = attr(attrs, "path");
            if (!path) return;
            std::string_view p(path);
            if (endsWith(p, ".vdjfolder") || endsWith(p, "/order")) return;
            VDJFolderSong s;
            s.path = path;
            s.artist = attrText(attrs, "artist");
            s.title = attrText(attrs, "title");
            s.remix = attrText(attrs, "remix");
            s.key = attrText(attrs, "key");
            if (const char* b = attr(attrs, "bpm")) s.bpm = vdjNumber(b);
            if (const char* l = attr(attrs, "songlength"))
                if (auto d = vdjNumber(l)) s.duration = *d;
            songs.push_back(std::move(s));
        },
        [](const char*) {});
}

void VDJDatabaseParser::parse(std::string_view xml, const std::string& what) {
    result.clear();
    bool inSong = false;
    parseXml(
        xml, what,
        [&](const char* name, const XML_Char** attrs) {
            if (std::strcmp(name, "Song") == 0) {
                inSong = true;
                currentInfo = VDJTrackInfo{};
                currentFilePath = attrText(attrs, "FilePath");
            } else if (inSong && std::strcmp(name, "Tags") == 0) {
                currentInfo.artist = attrText(attrs, "Author");
                currentInfo.title = attrText(attrs, "Title");
                currentInfo.genre = attrText(attrs, "Genre");
                currentInfo.key = attrText(attrs, "Key");
                if (const char* b = attr(attrs, "Bpm")) currentInfo.bpm = vdjNumber(b);
            } else if (inSong && std::strcmp(name, "Infos") == 0) {
                if (const char* l = attr(attrs, "SongLength"))
                    if (auto d = vdjNumber(l); d && *d >= double(std::numeric_limits<int64_t>::min()) &&
                                               *d < double(std::numeric_limits<int64_t>::max()))
                        currentInfo.duration = int64_t(*d);
            }
        },
        [&](const char* name) {
            if (std::strcmp(name, "Song") != 0 || !inSong) return;
            inSong = false;
            if (!currentFilePath.empty()) result[currentFilePath] = currentInfo;
            currentFilePath.clear();
        });
}

std::string vdjEscape(std::string_view v) {
    std::string out;
    out.reserve(v.size());
    for (char c : v) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            // A reader folds white space in attribute values to blanks; these keep it.
            case '\t':
                out += "&#9;";
                break;
            case '\n':
                out += "&#10;";
                break;
            case '\r':
                out += "&#13;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

namespace {
// Text that XML cannot hold (bytes that are not UTF-8, control characters) would make the whole
// list unreadable, for VirtualDJ and for us.
std::string xmlSafe(const std::string& s) { return isXmlText(s) ? s : std::string(); }
}  // namespace

std::string vdjFolderDocument(const std::vector<VDJFolderSong>& songs) {
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<VirtualFolder noDuplicates=\"yes\">\n";
    size_t i = 0;
    for (const auto& song : songs) {
        if (song.path.empty() || !isXmlText(song.path)) continue;
        VDJFolderSong s = song;
        s.artist = xmlSafe(s.artist);
        s.title = xmlSafe(s.title);
        s.remix = xmlSafe(s.remix);
        s.key = xmlSafe(s.key);
        out += "\t<song path=\"" + vdjEscape(s.path) + "\"";
        if (!s.artist.empty()) out += " artist=\"" + vdjEscape(s.artist) + "\"";
        if (!s.title.empty()) out += " title=\"" + vdjEscape(s.title) + "\"";
        if (!s.remix.empty()) out += " remix=\"" + vdjEscape(s.remix) + "\"";
        if (s.bpm) out += fmt::format(" bpm=\"{:.3f}\"", *s.bpm);
        if (!s.key.empty()) out += " key=\"" + vdjEscape(s.key) + "\"";
        if (s.duration > 0) out += fmt::format(" songlength=\"{:.1f}\"", s.duration);
        out += fmt::format(" idx=\"{}\" />\n", i++);
    }
    out += "</VirtualFolder>\n";
    return out;
}

}  // namespace fv
