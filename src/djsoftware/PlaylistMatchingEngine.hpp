#pragma once
// Finds streaming tracks in the DJ's library by title and artist similarity over character
// bigrams, with a bonus when the durations agree.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/Json.hpp"
#include "djsoftware/RekordboxTrack.hpp"

namespace fv {

// A streaming track to be matched (Spotify and Apple Music imports alike).
struct SpotifyTrack {
    std::string id;
    std::string title;
    std::string artist;  // the primary artist
    std::vector<std::string> allArtists;
    std::string album;
    int64_t durationMs = 0;
    std::optional<std::string> isrc;
    std::string spotifyUrl;

    static SpotifyTrack fromJson(const json& j);
    json toJson() const;
    bool operator==(const SpotifyTrack&) const = default;
};

enum class MatchReason { isrc, titleArtist, titleArtistDuration };
std::string_view toString(MatchReason r);

struct ScoredMatch {
    std::string id;
    RekordboxTrack track;
    double score = 0;
    MatchReason matchReason = MatchReason::titleArtist;
};

struct MatchStatus {
    enum class Kind { exactMatch, multipleMatches, fuzzyMatch, notFound };
    Kind kind = Kind::notFound;
    std::optional<RekordboxTrack> track;  // exactMatch and fuzzyMatch
    double score = 0;                     // fuzzyMatch
    std::vector<ScoredMatch> candidates;  // multipleMatches

    static MatchStatus exactMatch(RekordboxTrack t);
    static MatchStatus multipleMatches(std::vector<ScoredMatch> c);
    static MatchStatus fuzzyMatch(RekordboxTrack t, double score);
    static MatchStatus notFound();
};
std::string_view toString(MatchStatus::Kind k);

// One row of an import.
struct PlaylistMatchResult {
    std::string id;
    SpotifyTrack spotifyTrack;
    MatchStatus status;
    std::optional<RekordboxTrack> confirmedTrack;
    bool isManuallyResolved = false;
};

struct PlaylistImportSession {
    std::string playlistName;
    std::string playlistOwner;
    int64_t totalTracks = 0;
    std::vector<PlaylistMatchResult> results;

    std::size_t count(MatchStatus::Kind k) const;
    std::vector<RekordboxTrack> confirmedTracks() const;
};

// A bigram as a number: two characters, one (a text of one character) or none (the empty text).
using Bigram = uint64_t;

// One library track prepared for matching. The sets are sorted and free of repeats.
struct LibraryEntry {
    RekordboxTrack track;
    std::vector<Bigram> titleBigrams;
    std::vector<Bigram> titleBigramsSet;
    std::vector<Bigram> artistBigrams;
    std::vector<Bigram> artistBigramsSet;
    double duration = 0;  // seconds
};

class PlaylistMatchingEngine {
public:
    static constexpr double titleWeight = 0.6;
    static constexpr double artistWeight = 0.4;
    static constexpr double durationBonus = 0.1;
    static constexpr double durationTolerance = 5.0;
    static constexpr double scoreCap = 1.0;
    static constexpr double keepThreshold = 0.65;
    static constexpr double winnerThreshold = 0.9;
    static constexpr double winnerLead = 0.1;
    static constexpr std::size_t maxAlternatives = 3;

    static std::string normalize(std::string_view text);
    static std::vector<std::string> bigrams(std::string_view text);
    static std::vector<Bigram> bigramKeys(std::string_view text);

    static LibraryEntry makeEntry(RekordboxTrack track);
    static std::vector<LibraryEntry> buildIndex(const std::vector<RekordboxTrack>& tracks);

    // Scores every entry. This is the reference the indexed matcher must agree with.
    static PlaylistMatchResult match(const SpotifyTrack& track, const std::vector<LibraryEntry>& index);

    // The result row for the kept candidates, given in library order: sorted by score (equal scores
    // keep that order), then a clear winner, several candidates (at most three) or nothing.
    static PlaylistMatchResult classify(const SpotifyTrack& track, std::vector<ScoredMatch> candidates);
};

// The same results as PlaylistMatchingEngine::match, without scoring every library track: an
// inverted index over title bigrams finds the entries that share title bigrams with the streaming
// track, and an exact integer bound drops those that cannot reach the keep threshold. Built once per
// import. match() uses a scratch area of its own and is for one thread; matchAll() may use several.
class LibraryMatchIndex {
public:
    explicit LibraryMatchIndex(const std::vector<RekordboxTrack>& tracks);
    explicit LibraryMatchIndex(std::vector<LibraryEntry> entries);
    ~LibraryMatchIndex();
    LibraryMatchIndex(const LibraryMatchIndex&) = delete;
    LibraryMatchIndex& operator=(const LibraryMatchIndex&) = delete;

    const std::vector<LibraryEntry>& entries() const { return entries_; }

    PlaylistMatchResult match(const SpotifyTrack& track);

    // Results in playlist order. progress(done, total) runs on the calling thread.
    using Progress = std::function<void(std::size_t done, std::size_t total)>;
    std::vector<PlaylistMatchResult> matchAll(const std::vector<SpotifyTrack>& tracks, unsigned threads = 1,
                                              const Progress& progress = {}) const;

    // Entries scored per streaming track so far (benchmarks show how much the bound drops).
    std::size_t scoredEntries() const { return scored_.load(); }

    struct Scratch;

private:
    PlaylistMatchResult matchWith(const SpotifyTrack& track, Scratch& scratch) const;

    std::vector<LibraryEntry> entries_;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::unique_ptr<Scratch> scratch_;
    mutable std::atomic<std::size_t> scored_{0};
};

}  // namespace fv
