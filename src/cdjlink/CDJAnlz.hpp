#pragma once
// rekordbox analysis files (ANLZ*.DAT / .EXT / .2EX): tagged sections, the cache that keeps them by
// modification time, and the payloads the players ask for (waveforms, beat grid, cue list).
// The section readers are pure; only CDJAnlzCache touches the file system.
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cdjlink/CDJBytes.hpp"
#include "cdjlink/CDJModels.hpp"

namespace fv::cdj {

struct CDJAnlzSection {
    std::string fourcc;  // four ASCII characters
    Bytes bytes;         // the whole section, its own header included

    bool operator==(const CDJAnlzSection&) const = default;
};
using CDJAnlzSections = std::vector<CDJAnlzSection>;

// Splits a whole file into its sections; no magic "PMAI" or fewer than 12 bytes gives none, and
// the walk stops at the first section shorter than 12 bytes or running past the end.
CDJAnlzSections parseAnlzSections(std::span<const uint8_t> file);
// The first section with the tag, or null.
const CDJAnlzSection* findAnlzSection(const CDJAnlzSections& sections, std::string_view fourcc);

inline constexpr size_t anlzPreviewBytes = 900;

// 400 columns of (height, whiteness) from "PWAV", then up to 100 bytes of "PWV2" at 800; nothing
// without a usable "PWAV".
std::optional<Bytes> anlzWaveformPreview(const CDJAnlzSections& base);
// The entries of "PWV3"; nothing when there are none.
std::optional<Bytes> anlzWaveformDetail(const CDJAnlzSections& ext);

struct CDJBeatGrid {
    Bytes bytes;  // little-endian, 20 + 16 per beat
    uint32_t beats = 0;
};
// From "PQTZ"; nothing without beats.
std::optional<CDJBeatGrid> anlzBeatGrid(const CDJAnlzSections& base);

// One cue point as the players' cue list carries it.
struct CDJCuePoint {
    uint8_t hotCue = 0;  // 0 for a memory cue, 1 = A, ...
    bool isLoop = false;
    uint32_t startMs = 0;
    uint32_t loopEndMs = 0xffffffff;  // loops only
    int64_t colorIndex = 0;

    bool operator==(const CDJCuePoint&) const = default;
};

// The track record's own cues (kinds above 9 are not cue points).
std::vector<CDJCuePoint> cuePointsFromTrack(const std::vector<CDJCue>& cues);
// The "PCP2" entries of every "PCO2" section of the extended file (memory cues and hot cues sit
// in separate sections).
std::vector<CDJCuePoint> cuePointsFromAnlz(const CDJAnlzSections& ext);

inline constexpr size_t cueEntryBytes = 124;
// 124-byte little-endian entries, one per cue point.
Bytes encodeCueEntries(const std::vector<CDJCuePoint>& cues);

struct CDJRgb {
    uint8_t r = 0, g = 0, b = 0;
    bool operator==(const CDJRgb&) const = default;
};
// The colour a player lights for a hot cue of this colour index.
CDJRgb hotCueColor(int64_t colorIndex);

// Sections of analysis files by path, re-read when a file's modification time changes. Shared by
// all database sessions; files are read outside the lock.
class CDJAnlzCache {
public:
    // Files larger than this are not analysis files; they yield no sections.
    static constexpr uintmax_t maxFileBytes = 64u << 20;
    // Least recently used files beyond this many are dropped.
    static constexpr size_t maxEntries = 256;

    static CDJAnlzCache& shared();

    // Empty for a missing, unreadable or malformed file.
    std::shared_ptr<const CDJAnlzSections> sections(const std::string& path);
    std::optional<CDJAnlzSection> section(const std::string& path, std::string_view fourcc);

    // Payloads for a track, from its own analysis files; cues from the record first.
    std::optional<Bytes> waveformPreview(const CDJTrack& track);
    std::optional<Bytes> waveformDetail(const CDJTrack& track);
    std::optional<CDJBeatGrid> beatGrid(const CDJTrack& track);
    std::vector<CDJCuePoint> cuePoints(const CDJTrack& track);
    // The section of the track's file of this kind ("DAT", "EXT", "2EX").
    std::optional<CDJAnlzSection> trackSection(const CDJTrack& track, std::string_view kind, std::string_view fourcc);

    size_t size() const;
    // Counts whole-file reads (tests check that unchanged files come from the cache).
    uint64_t fileReads() const;

private:
    std::shared_ptr<const CDJAnlzSections> sectionsOf(const CDJTrack& track, std::string_view kind);

    struct Entry {
        double mtime = 0;
        std::shared_ptr<const CDJAnlzSections> sections;
        std::list<std::string>::iterator lru;
    };
    mutable std::mutex lock_;  // guards everything below
    std::unordered_map<std::string, Entry> cache_;
    std::list<std::string> lru_;  // most recently used first
    uint64_t fileReads_ = 0;
};

}  // namespace fv::cdj
