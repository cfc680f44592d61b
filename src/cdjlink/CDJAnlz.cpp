#include "cdjlink/CDJAnlz.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <fstream>

namespace fv::cdj {

namespace {

// Big-endian reads that are bounds-checked by the caller's size tests.
uint32_t be32(const Bytes& b, size_t at) { return readBE32(b, at); }

size_t bytesAfter(const Bytes& b, size_t at) { return at <= b.size() ? b.size() - at : 0; }

// The rekordbox hot cue palette (colour codes 1 to 62 of its 4x4 palette grids), as published in
// Deep Symmetry's analysis of the ANLZ format (crate-digger "Analysis Files", the colour table of
// the extended cue list).
constexpr std::array<CDJRgb, 62> palette{{
    {0x30, 0x5a, 0xff}, {0x50, 0x73, 0xff}, {0x50, 0x8c, 0xff}, {0x50, 0xa0, 0xff}, {0x50, 0xb4, 0xff},
    {0x50, 0xb0, 0xf2}, {0x50, 0xae, 0xe8}, {0x45, 0xac, 0xdb}, {0x00, 0xe0, 0xff}, {0x19, 0xda, 0xf0},
    {0x32, 0xd2, 0xe6}, {0x21, 0xb4, 0xb9}, {0x20, 0xaa, 0xa0}, {0x1f, 0xa3, 0x92}, {0x19, 0xa0, 0x8c},
    {0x14, 0xa5, 0x84}, {0x14, 0xaa, 0x7d}, {0x10, 0xb1, 0x76}, {0x30, 0xd2, 0x6e}, {0x37, 0xde, 0x5a},
    {0x3c, 0xeb, 0x50}, {0x28, 0xe2, 0x14}, {0x7d, 0xc1, 0x3d}, {0x8c, 0xc8, 0x32}, {0x9b, 0xd7, 0x23},
    {0xa5, 0xe1, 0x16}, {0xa5, 0xdc, 0x0a}, {0xaa, 0xd2, 0x08}, {0xb4, 0xc8, 0x05}, {0xb4, 0xbe, 0x04},
    {0xba, 0xb4, 0x04}, {0xc3, 0xaf, 0x04}, {0xe1, 0xaa, 0x00}, {0xff, 0xa0, 0x00}, {0xff, 0x96, 0x00},
    {0xff, 0x8c, 0x00}, {0xff, 0x75, 0x00}, {0xe0, 0x64, 0x1b}, {0xe0, 0x46, 0x1e}, {0xe0, 0x30, 0x1e},
    {0xe0, 0x28, 0x23}, {0xe6, 0x28, 0x28}, {0xff, 0x37, 0x6f}, {0xff, 0x2d, 0x6f}, {0xff, 0x12, 0x7b},
    {0xf5, 0x1e, 0x8c}, {0xeb, 0x2d, 0xa0}, {0xe6, 0x37, 0xb4}, {0xde, 0x44, 0xcf}, {0xde, 0x44, 0x8d},
    {0xe6, 0x30, 0xb4}, {0xe6, 0x19, 0xdc}, {0xe6, 0x00, 0xff}, {0xdc, 0x00, 0xff}, {0xcc, 0x00, 0xff},
    {0xb4, 0x32, 0xff}, {0xb9, 0x3c, 0xff}, {0xc5, 0x42, 0xff}, {0xaa, 0x5a, 0xff}, {0xaa, 0x72, 0xff},
    {0x82, 0x72, 0xff}, {0x64, 0x73, 0xff},
}};

uint32_t clampMs(int64_t ms) {
    if (ms < 0) return 0;
    if (ms > int64_t{0xffffffff}) return 0xffffffff;
    return static_cast<uint32_t>(ms);
}

std::optional<double> modificationTime(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
    return static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
}

std::optional<Bytes> readWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    in.seekg(0, std::ios::end);
    auto size = in.tellg();
    if (size < 0 || static_cast<uintmax_t>(size) > CDJAnlzCache::maxFileBytes) return std::nullopt;
    in.seekg(0);
    Bytes data(static_cast<size_t>(size));
    if (!data.empty() && !in.read(reinterpret_cast<char*>(data.data()), size)) return std::nullopt;
    return data;
}

const std::shared_ptr<const CDJAnlzSections>& noSections() {
    static const auto none = std::make_shared<const CDJAnlzSections>();
    return none;
}

}  // namespace

CDJAnlzSections parseAnlzSections(std::span<const uint8_t> file) {
    CDJAnlzSections out;
    if (file.size() < 12 || std::string_view(reinterpret_cast<const char*>(file.data()), 4) != "PMAI") return out;
    size_t pos = readBE32(file, 4);
    while (pos <= file.size() && file.size() - pos >= 12) {
        uint32_t len = readBE32(file, pos + 8);
        if (len < 12 || len > file.size() - pos) break;
        auto body = file.subspan(pos, len);
        out.push_back({std::string(reinterpret_cast<const char*>(body.data()), 4), Bytes(body.begin(), body.end())});
        pos += len;
    }
    return out;
}

const CDJAnlzSection* findAnlzSection(const CDJAnlzSections& sections, std::string_view fourcc) {
    for (const auto& s : sections)
        if (s.fourcc == fourcc) return &s;
    return nullptr;
}

std::optional<Bytes> anlzWaveformPreview(const CDJAnlzSections& base) {
    const auto* pwav = findAnlzSection(base, "PWAV");
    if (!pwav || pwav->bytes.size() < 20) return std::nullopt;
    Bytes out(anlzPreviewBytes, 0);
    const Bytes& w = pwav->bytes;
    size_t h = be32(w, 4);
    size_t m = std::min<size_t>({be32(w, 12), 400, bytesAfter(w, h)});
    for (size_t i = 0; i < m; ++i) {
        uint8_t b = w[h + i];
        out[2 * i] = b & 0x1f;
        out[2 * i + 1] = b >> 5;
    }
    const auto* pwv2 = findAnlzSection(base, "PWV2");
    if (pwv2 && pwv2->bytes.size() >= 20) {
        const Bytes& t = pwv2->bytes;
        size_t th = be32(t, 4);
        size_t k = std::min<size_t>({be32(t, 12), 100, bytesAfter(t, th)});
        std::copy_n(t.begin() + static_cast<std::ptrdiff_t>(th), k, out.begin() + 800);
    }
    return out;
}

std::optional<Bytes> anlzWaveformDetail(const CDJAnlzSections& ext) {
    const auto* s = findAnlzSection(ext, "PWV3");
    if (!s || s->bytes.size() < 24) return std::nullopt;
    const Bytes& d = s->bytes;
    uint64_t h = be32(d, 4);
    uint64_t want = h + uint64_t{be32(d, 12)} * be32(d, 16);
    uint64_t end = std::min<uint64_t>(d.size(), want);
    if (end <= h) return std::nullopt;
    return Bytes(d.begin() + static_cast<std::ptrdiff_t>(h), d.begin() + static_cast<std::ptrdiff_t>(end));
}

std::optional<CDJBeatGrid> anlzBeatGrid(const CDJAnlzSections& base) {
    const auto* s = findAnlzSection(base, "PQTZ");
    if (!s || s->bytes.size() < 24) return std::nullopt;
    const Bytes& q = s->bytes;
    uint64_t h = be32(q, 4);
    uint32_t n = be32(q, 20);
    if (n == 0 || h + uint64_t{8} * n > q.size()) return std::nullopt;
    CDJBeatGrid grid;
    grid.beats = n;
    grid.bytes.assign(20 + size_t{16} * n, 0);
    Bytes& g = grid.bytes;
    writeLE32(g, 0, 0x00080000);
    writeLE32(g, 4, n);
    writeLE32(g, 8, 16 * n);
    writeLE32(g, 12, 1);
    writeLE32(g, 16, 1);
    for (size_t i = 0; i < n; ++i) {
        size_t from = h + 8 * i;
        size_t to = 20 + 16 * i;
        writeLE16(g, to, readBE16(q, from));
        writeLE16(g, to + 2, readBE16(q, from + 2));
        writeLE32(g, to + 4, be32(q, from + 4));
        std::fill_n(g.begin() + static_cast<std::ptrdiff_t>(to + 8), 8, 0xff);
    }
    return grid;
}

std::vector<CDJCuePoint> cuePointsFromTrack(const std::vector<CDJCue>& cues) {
    std::vector<CDJCuePoint> out;
    for (const auto& c : cues) {
        if (c.kind > 9) continue;
        CDJCuePoint p;
        p.hotCue = static_cast<uint8_t>(std::max<int64_t>(c.kind, 1) - 1);
        p.isLoop = c.outMs >= 1;
        p.startMs = clampMs(c.inMs);
        p.loopEndMs = p.isLoop ? clampMs(c.outMs) : 0xffffffff;
        p.colorIndex = c.colorIndex;
        out.push_back(p);
    }
    return out;
}

std::vector<CDJCuePoint> cuePointsFromAnlz(const CDJAnlzSections& ext) {
    std::vector<CDJCuePoint> out;
    for (const auto& s : ext) {
        if (s.fourcc != "PCO2" || s.bytes.size() < 12) continue;
        const Bytes& d = s.bytes;
        size_t pos = be32(d, 4);
        while (pos <= d.size() && d.size() - pos >= 12) {
            uint32_t len = be32(d, pos + 8);
            if (len < 12 || len > d.size() - pos) break;
            bool isEntry = std::string_view(reinterpret_cast<const char*>(&d[pos]), 4) == "PCP2";
            if (isEntry && len >= 44) {
                CDJCuePoint p;
                p.hotCue = static_cast<uint8_t>(std::min<uint32_t>(be32(d, pos + 0x0c), 0xff));
                p.isLoop = d[pos + 0x10] == 2;
                p.startMs = be32(d, pos + 0x14);
                p.loopEndMs = p.isLoop ? be32(d, pos + 0x18) : 0xffffffff;
                if (p.hotCue == 0) {
                    p.colorIndex = d[pos + 0x1c];
                } else {
                    // The hot cue colour code follows the comment, when the entry goes that far.
                    uint64_t at = uint64_t{0x2c} + be32(d, pos + 0x28);
                    p.colorIndex = at < len ? d[pos + at] : 0;
                }
                out.push_back(p);
            }
            pos += len;
        }
    }
    return out;
}

CDJRgb hotCueColor(int64_t colorIndex) {
    switch (colorIndex) {
        case 0:
        case 32: return {0xff, 0xe8, 0x00};
        case 38: return {0xff, 0x5e, 0x00};
        case 42: return {0xff, 0x00, 0x00};
        default: break;
    }
    if (colorIndex >= 1 && colorIndex <= 62) return palette[static_cast<size_t>(colorIndex - 1)];
    return {0x00, 0xff, 0x00};
}

Bytes encodeCueEntries(const std::vector<CDJCuePoint>& cues) {
    Bytes out(cues.size() * cueEntryBytes, 0);
    for (size_t i = 0; i < cues.size(); ++i) {
        const auto& c = cues[i];
        std::span<uint8_t> e(out.data() + i * cueEntryBytes, cueEntryBytes);
        bool hot = c.hotCue > 0;
        uint32_t loopEnd = c.isLoop ? c.loopEndMs : 0xffffffff;
        auto colorByte = static_cast<uint8_t>(c.colorIndex & 0xff);
        writeLE32(e, 0, cueEntryBytes);
        e[4] = c.hotCue;
        e[6] = c.isLoop ? 2 : 1;
        writeLE16(e, 10, 1000);
        writeLE32(e, 12, c.startMs);
        writeLE32(e, 16, loopEnd);
        writeLE32(e, 32, loopEnd);
        e[34] = hot ? 0xff : colorByte;
        e[52] = 0x42;
        e[74] = 0x2c;
        if (hot) {
            CDJRgb rgb = hotCueColor(c.colorIndex);
            e[78] = colorByte;
            e[79] = rgb.r;
            e[80] = rgb.g;
            e[81] = rgb.b;
        }
    }
    return out;
}

CDJAnlzCache& CDJAnlzCache::shared() {
    static auto* cache = new CDJAnlzCache;  // never destroyed: the link queue may still read at exit
    return *cache;
}

std::shared_ptr<const CDJAnlzSections> CDJAnlzCache::sections(const std::string& path) {
    auto mtime = modificationTime(path);
    if (!mtime) {
        std::lock_guard g(lock_);
        if (auto it = cache_.find(path); it != cache_.end()) {
            lru_.erase(it->second.lru);
            cache_.erase(it);
        }
        return noSections();
    }
    {
        std::lock_guard g(lock_);
        if (auto it = cache_.find(path); it != cache_.end() && it->second.mtime == *mtime) {
            lru_.splice(lru_.begin(), lru_, it->second.lru);
            return it->second.sections;
        }
    }
    auto data = readWholeFile(path);
    auto parsed = std::make_shared<const CDJAnlzSections>(data ? parseAnlzSections(*data) : CDJAnlzSections{});
    std::lock_guard g(lock_);
    ++fileReads_;
    auto it = cache_.find(path);
    if (it == cache_.end()) {
        lru_.push_front(path);
        it = cache_.emplace(path, Entry{*mtime, parsed, lru_.begin()}).first;
    } else {
        it->second.mtime = *mtime;
        it->second.sections = parsed;
        lru_.splice(lru_.begin(), lru_, it->second.lru);
    }
    while (cache_.size() > maxEntries) {
        cache_.erase(lru_.back());
        lru_.pop_back();
    }
    return parsed;
}

std::optional<CDJAnlzSection> CDJAnlzCache::section(const std::string& path, std::string_view fourcc) {
    auto all = sections(path);
    if (const auto* s = findAnlzSection(*all, fourcc)) return *s;
    return std::nullopt;
}

std::shared_ptr<const CDJAnlzSections> CDJAnlzCache::sectionsOf(const CDJTrack& track, std::string_view kind) {
    auto it = track.anlz.find(std::string(kind));
    if (it == track.anlz.end() || !it->second || it->second->empty()) return noSections();
    return sections(*it->second);
}

std::optional<Bytes> CDJAnlzCache::waveformPreview(const CDJTrack& track) {
    return anlzWaveformPreview(*sectionsOf(track, "DAT"));
}

std::optional<Bytes> CDJAnlzCache::waveformDetail(const CDJTrack& track) {
    return anlzWaveformDetail(*sectionsOf(track, "EXT"));
}

std::optional<CDJBeatGrid> CDJAnlzCache::beatGrid(const CDJTrack& track) {
    return anlzBeatGrid(*sectionsOf(track, "DAT"));
}

std::vector<CDJCuePoint> CDJAnlzCache::cuePoints(const CDJTrack& track) {
    if (!track.cues.empty()) return cuePointsFromTrack(track.cues);
    return cuePointsFromAnlz(*sectionsOf(track, "EXT"));
}

std::optional<CDJAnlzSection> CDJAnlzCache::trackSection(const CDJTrack& track, std::string_view kind,
                                                         std::string_view fourcc) {
    auto all = sectionsOf(track, kind);
    if (const auto* s = findAnlzSection(*all, fourcc)) return *s;
    return std::nullopt;
}

size_t CDJAnlzCache::size() const {
    std::lock_guard g(lock_);
    return cache_.size();
}

uint64_t CDJAnlzCache::fileReads() const {
    std::lock_guard g(lock_);
    return fileReads_;
}

}  // namespace fv::cdj
