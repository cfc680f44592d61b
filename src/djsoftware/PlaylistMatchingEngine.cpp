#include "djsoftware/PlaylistMatchingEngine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <mutex>
#include <thread>

#include "core/Uuid.hpp"
#include "djsoftware/TextClusters.hpp"

namespace fv {

namespace J = jsonx;
using Engine = PlaylistMatchingEngine;

// ---------------------------------------------------------------- records

SpotifyTrack SpotifyTrack::fromJson(const json& j) {
    try {
        J::requireObject(j, "SpotifyTrack");
        SpotifyTrack t;
        t.id = J::required<std::string>(j, "id");
        t.title = J::required<std::string>(j, "title");
        t.artist = J::required<std::string>(j, "artist");
        t.allArtists = J::required<std::vector<std::string>>(j, "allArtists");
        t.album = J::required<std::string>(j, "album");
        t.durationMs = J::required<int64_t>(j, "durationMs");
        t.isrc = J::optional<std::string>(j, "isrc");
        t.spotifyUrl = J::required<std::string>(j, "spotifyUrl");
        return t;
    } catch (const DecodeError& e) {
        throw DecodeError(std::string("SpotifyTrack: ") + e.what());
    }
}

json SpotifyTrack::toJson() const {
    json o = {{"id", id},         {"title", title},           {"artist", artist},          {"allArtists", allArtists},
              {"album", album},   {"durationMs", durationMs}, {"spotifyUrl", spotifyUrl}};
    J::putOptional(o, "isrc", isrc);
    return o;
}

std::string_view toString(MatchReason r) {
    switch (r) {
        case MatchReason::isrc: return "isrc";
        case MatchReason::titleArtist: return "titleArtist";
        case MatchReason::titleArtistDuration: return "titleArtistDuration";
    }
    return "titleArtist";
}

std::string_view toString(MatchStatus::Kind k) {
    switch (k) {
        case MatchStatus::Kind::exactMatch: return "exactMatch";
        case MatchStatus::Kind::multipleMatches: return "multipleMatches";
        case MatchStatus::Kind::fuzzyMatch: return "fuzzyMatch";
        case MatchStatus::Kind::notFound: return "notFound";
    }
    return "notFound";
}

MatchStatus MatchStatus::exactMatch(RekordboxTrack t) {
    MatchStatus s;
    s.kind = Kind::exactMatch;
    s.track = std::move(t);
    return s;
}
MatchStatus MatchStatus::multipleMatches(std::vector<ScoredMatch> c) {
    MatchStatus s;
    s.kind = Kind::multipleMatches;
    s.candidates = std::move(c);
    return s;
}
MatchStatus MatchStatus::fuzzyMatch(RekordboxTrack t, double score) {
    MatchStatus s;
    s.kind = Kind::fuzzyMatch;
    s.track = std::move(t);
    s.score = score;
    return s;
}
MatchStatus MatchStatus::notFound() { return {}; }

std::size_t PlaylistImportSession::count(MatchStatus::Kind k) const {
    return static_cast<std::size_t>(
        std::count_if(results.begin(), results.end(), [&](const auto& r) { return r.status.kind == k; }));
}

std::vector<RekordboxTrack> PlaylistImportSession::confirmedTracks() const {
    std::vector<RekordboxTrack> out;
    for (const auto& r : results)
        if (r.confirmedTrack) out.push_back(*r.confirmedTrack);
    return out;
}

// ---------------------------------------------------------------- text

namespace {

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(s.size());
    std::size_t pos = 0;
    for (std::size_t hit; (hit = s.find(from, pos)) != std::string::npos; pos = hit + from.size()) {
        out.append(s, pos, hit - pos);
        out.append(to);
    }
    out.append(s, pos);
    s = std::move(out);
}

// Lower case as far as it can change what the normaliser keeps: ASCII letters, the Kelvin sign
// (which lowers to a plain k), Roman numerals, and the dotted capital I (which lowers to i with a
// combining dot, one non-ASCII character).
std::string lowerCase(std::string_view s) {
    std::string out;
    out.reserve(s.size() + 8);
    for (std::size_t i = 0; i < s.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 'A' && c <= 'Z') {
            out.push_back(static_cast<char>(c - 'A' + 'a'));
        } else if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x84 &&
                   static_cast<unsigned char>(s[i + 2]) == 0xAA) {
            out.push_back('k');
            i += 2;
        } else if (c == 0xE2 && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0x85 &&
                   static_cast<unsigned char>(s[i + 2]) >= 0xA0 && static_cast<unsigned char>(s[i + 2]) <= 0xAF) {
            out.push_back(s[i]);
            out.push_back(s[i + 1]);
            out.push_back(static_cast<char>(static_cast<unsigned char>(s[i + 2]) + 0x10));
            i += 2;
        } else if (c == 0xC4 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xB0) {
            out += "i\xCC\x87";
            i += 1;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

// Characters that consist of more than one code point get numbers above the code point range.
uint32_t characterCode(const text::Cluster& c) {
    if (c.single) return static_cast<uint32_t>(c.first);
    static std::mutex m;
    static std::unordered_map<std::string, uint32_t> codes;
    std::lock_guard lock(m);
    auto [it, added] = codes.try_emplace(std::string(c.bytes), static_cast<uint32_t>(0x110000 + codes.size()));
    return it->second;
}

Bigram pairKey(uint32_t a, uint32_t b) { return (static_cast<Bigram>(a) + 1) << 32 | (static_cast<Bigram>(b) + 1); }
Bigram singleKey(uint32_t a) { return (static_cast<Bigram>(a) + 1) << 32; }

std::vector<Bigram> sortedSet(std::vector<Bigram> v) {
    std::sort(v.begin(), v.end());
    v.erase(std::unique(v.begin(), v.end()), v.end());
    return v;
}

}  // namespace

std::string Engine::normalize(std::string_view input) {
    std::string s = lowerCase(input);
    replaceAll(s, "featuring", "ft.");
    replaceAll(s, " feat. ", " ft. ");
    replaceAll(s, " feat ", " ft. ");
    replaceAll(s, " & ", " and ");

    std::string kept;
    kept.reserve(s.size());
    int depth = 0;
    for (const auto& c : text::clusters(s)) {
        if (c.single && c.first == U'(') {
            ++depth;
            continue;
        }
        if (c.single && c.first == U')') {
            depth = std::max(0, depth - 1);
            continue;
        }
        if (depth > 0) continue;
        bool asciiLetter = c.single && ((c.first >= U'a' && c.first <= U'z') || (c.first >= U'A' && c.first <= U'Z'));
        bool blank = c.single && c.first == U' ';
        if (asciiLetter || blank || text::isNumeric(c.first)) kept.append(c.bytes);
    }

    std::string out;
    out.reserve(kept.size());
    for (char ch : kept) {
        if (ch == ' ' && (out.empty() || out.back() == ' ')) continue;
        out.push_back(ch);
    }
    if (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

std::vector<std::string> Engine::bigrams(std::string_view text) {
    auto cs = text::clusters(text);
    if (cs.size() < 2) return {std::string(text)};
    std::vector<std::string> out;
    out.reserve(cs.size() - 1);
    for (std::size_t i = 0; i + 1 < cs.size(); ++i) {
        std::string b(cs[i].bytes);
        b.append(cs[i + 1].bytes);
        out.push_back(std::move(b));
    }
    return out;
}

std::vector<Bigram> Engine::bigramKeys(std::string_view text) {
    auto cs = text::clusters(text);
    if (cs.empty()) return {0};
    if (cs.size() == 1) return {singleKey(characterCode(cs[0]))};
    std::vector<Bigram> out;
    out.reserve(cs.size() - 1);
    uint32_t prev = characterCode(cs[0]);
    for (std::size_t i = 1; i < cs.size(); ++i) {
        uint32_t cur = characterCode(cs[i]);
        out.push_back(pairKey(prev, cur));
        prev = cur;
    }
    return out;
}

LibraryEntry Engine::makeEntry(RekordboxTrack track) {
    LibraryEntry e;
    e.titleBigrams = bigramKeys(normalize(track.title));
    e.titleBigramsSet = sortedSet(e.titleBigrams);
    e.artistBigrams = bigramKeys(normalize(track.artist));
    e.artistBigramsSet = sortedSet(e.artistBigrams);
    e.duration = static_cast<double>(track.duration);
    e.track = std::move(track);
    return e;
}

std::vector<LibraryEntry> Engine::buildIndex(const std::vector<RekordboxTrack>& tracks) {
    std::vector<LibraryEntry> out;
    out.reserve(tracks.size());
    for (const auto& t : tracks) out.push_back(makeEntry(t));
    return out;
}

// ---------------------------------------------------------------- scoring (shared by both matchers)

namespace {

struct Query {
    std::vector<Bigram> title, titleSorted, artist, artistSorted;
    double duration = 0;
};

Query makeQuery(const SpotifyTrack& t) {
    Query q;
    q.title = Engine::bigramKeys(Engine::normalize(t.title));
    q.artist = Engine::bigramKeys(Engine::normalize(t.artist));
    q.titleSorted = q.title;
    std::sort(q.titleSorted.begin(), q.titleSorted.end());
    q.artistSorted = q.artist;
    std::sort(q.artistSorted.begin(), q.artistSorted.end());
    q.duration = static_cast<double>(t.durationMs) / 1000.0;
    return q;
}

// Elements of the streaming list (repeats counted) that are members of the entry's set.
std::size_t hits(const std::vector<Bigram>& streamSorted, const std::vector<Bigram>& entrySet) {
    std::size_t n = 0, i = 0, j = 0;
    while (i < streamSorted.size() && j < entrySet.size()) {
        if (streamSorted[i] < entrySet[j]) {
            ++i;
        } else if (entrySet[j] < streamSorted[i]) {
            ++j;
        } else {
            ++n;
            ++i;
        }
    }
    return n;
}

double similarity(const std::vector<Bigram>& streamSorted, const std::vector<Bigram>& entryList,
                  const std::vector<Bigram>& entrySet, double weight) {
    if (streamSorted.empty() && entryList.empty()) return weight;
    if (streamSorted.empty() || entryList.empty()) return 0;
    auto h = hits(streamSorted, entrySet);
    return 2.0 * static_cast<double>(h) / static_cast<double>(streamSorted.size() + entryList.size()) * weight;
}

bool durationsAgree(const Query& q, const LibraryEntry& e) {
    return std::abs(q.duration - e.duration) <= Engine::durationTolerance;
}

// The candidate for one entry when it reaches the keep threshold.
std::optional<ScoredMatch> score(const Query& q, const LibraryEntry& e) {
    double raw = similarity(q.titleSorted, e.titleBigrams, e.titleBigramsSet, Engine::titleWeight) +
                 similarity(q.artistSorted, e.artistBigrams, e.artistBigramsSet, Engine::artistWeight);
    double s = raw;
    MatchReason reason = MatchReason::titleArtist;
    if (durationsAgree(q, e)) {
        s = std::min(raw + Engine::durationBonus, Engine::scoreCap);
        reason = MatchReason::titleArtistDuration;
    }
    if (s < Engine::keepThreshold) return std::nullopt;
    return ScoredMatch{makeUuid(), e.track, s, reason};
}

}  // namespace

PlaylistMatchResult Engine::classify(const SpotifyTrack& track, std::vector<ScoredMatch> kept) {
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.score > b.score; });
    PlaylistMatchResult r;
    r.id = makeUuid();
    r.spotifyTrack = track;
    if (kept.empty()) {
        r.status = MatchStatus::notFound();
    } else if (kept.size() == 1) {
        r.status = MatchStatus::fuzzyMatch(kept[0].track, kept[0].score);
        r.confirmedTrack = kept[0].track;
    } else if (kept[0].score >= Engine::winnerThreshold && kept[0].score - kept[1].score >= Engine::winnerLead) {
        r.status = MatchStatus::fuzzyMatch(kept[0].track, kept[0].score);
        r.confirmedTrack = kept[0].track;
    } else {
        if (kept.size() > Engine::maxAlternatives) kept.resize(Engine::maxAlternatives);
        r.status = MatchStatus::multipleMatches(std::move(kept));
    }
    return r;
}

namespace {

PlaylistMatchResult bruteForce(const SpotifyTrack& track, const Query& q, const std::vector<LibraryEntry>& index) {
    std::vector<ScoredMatch> kept;
    for (const auto& e : index)
        if (auto m = score(q, e)) kept.push_back(std::move(*m));
    return Engine::classify(track, std::move(kept));
}

}  // namespace

PlaylistMatchResult Engine::match(const SpotifyTrack& track, const std::vector<LibraryEntry>& index) {
    return bruteForce(track, makeQuery(track), index);
}

// ---------------------------------------------------------------- inverted index
//
// With c the title hits and cA the artist hits of an entry of m title and mA artist bigrams, and
// t = n+m, a = nA+mA (n, nA: the streaming track's counts), the entry is kept only when
//     0.6 * 2c/t + 0.4 * 2cA/a + 0.1 * bonus >= 0.65,  i.e.  24c*a + 16cA*t + 2*bonus*t*a >= 13*t*a,
// an integer test without rounding. cA can exceed a/2 when the streaming artist repeats a bigram the
// entry holds once; it is at most h(mA), the largest total repeat count of mA distinct streaming
// artist bigrams.
//
// Near entries (within the duration tolerance) are found through a small index per whole second of
// duration, with c and cA counted exactly. Far entries (no bonus) need 48c/t + 32cA/a >= 26; for a
// split 26 = tx + ty chosen per streaming track, each has 48c/t >= tx or 32cA/a >= ty, so it is
// found from one side:
// - title lists rarest first: an entry's hits from the lists i and later are at most rest(i), the
//   weight of those lists. List i is read for title lengths m with 48 (rest(i) + 1) >= tx (n+m), so an
//   entry with 48c >= tx (n+m) is read at least twice (once when a single list weighs enough), and
//   becomes a candidate once its count plus the weight left unread for its length can reach that;
// - artist lists likewise per artist length mA, where also cA <= h(mA).
// Lists are ordered by length, so the lengths read are a prefix (title) or a run (artist) of a list.
// Candidates are then bounded by 256-bit sketches of their bigram sets and tested exactly; only
// those that pass are scored, with the same code as the full scan.

namespace {
// Beyond this many bigrams the integer test could come within rounding distance of the threshold;
// such tracks are simply scored.
constexpr std::size_t boundLimit = 4096;
constexpr double durationLimit = 2147483647.0;
constexpr Bigram artistTag = Bigram{1} << 63;
// Each list is read one unit of weight beyond what a single hit needs (see above).
constexpr int64_t extraWeight = 1;
// Entries looked up this far ahead while walking a list: the walk is bound by memory latency.
constexpr uint32_t prefetchDistance = 12;

using Range = std::pair<uint32_t, uint32_t>;

// Bigram -> entries, built from (bigram, entry) pairs in the order the lists should have.
struct Postings {
    std::unordered_map<Bigram, Range> ranges;
    std::vector<uint32_t> entries;

    // One hash look-up per pair: the bigrams are numbered first, the lists filled by number.
    void build(const std::vector<std::pair<Bigram, uint32_t>>& pairs) {
        std::unordered_map<Bigram, uint32_t> ids;
        ids.reserve(pairs.size() / 4 + 16);
        std::vector<Bigram> keys;
        std::vector<uint32_t> idOf(pairs.size()), fill;
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            auto [it, added] = ids.try_emplace(pairs[k].first, static_cast<uint32_t>(keys.size()));
            if (added) {
                keys.push_back(pairs[k].first);
                fill.push_back(0);
            }
            idOf[k] = it->second;
            ++fill[it->second];
        }
        ranges.reserve(keys.size());
        uint32_t offset = 0;
        for (std::size_t id = 0; id < keys.size(); ++id) {
            ranges.emplace(keys[id], Range{offset, offset + fill[id]});
            const uint32_t n = fill[id];
            fill[id] = offset;
            offset += n;
        }
        entries.resize(offset);
        for (std::size_t k = 0; k < pairs.size(); ++k) entries[fill[idOf[k]]++] = pairs[k].second;
    }
    const Range* find(Bigram b) const {
        auto it = ranges.find(b);
        return it == ranges.end() ? nullptr : &it->second;
    }
};

std::vector<std::pair<Bigram, int64_t>> withRepeats(const std::vector<Bigram>& sorted) {
    std::vector<std::pair<Bigram, int64_t>> out;
    for (std::size_t i = 0; i < sorted.size();) {
        std::size_t j = i;
        while (j < sorted.size() && sorted[j] == sorted[i]) ++j;
        out.emplace_back(sorted[i], static_cast<int64_t>(j - i));
        i = j;
    }
    return out;
}

// The streaming track's bigrams with their repeats, for quick look-ups while testing candidates.
class CountTable {
public:
    explicit CountTable(const std::vector<std::pair<Bigram, int64_t>>& items) {
        std::size_t size = 16;
        while (size < items.size() * 2) size *= 2;
        slots_.assign(size, {empty, 0});
        mask_ = size - 1;
        for (const auto& [b, w] : items) {
            std::size_t i = slot(b);
            while (slots_[i].first != empty) i = (i + 1) & mask_;
            slots_[i] = {b, static_cast<uint32_t>(w)};
        }
    }
    int64_t get(Bigram b) const {
        for (std::size_t i = slot(b);; i = (i + 1) & mask_) {
            if (slots_[i].first == b) return slots_[i].second;
            if (slots_[i].first == empty) return 0;
        }
    }

private:
    static constexpr Bigram empty = ~Bigram{0};
    std::size_t slot(Bigram b) const { return static_cast<std::size_t>((b * 0x9E3779B97F4A7C15ULL) >> 40) & mask_; }
    std::vector<std::pair<Bigram, uint32_t>> slots_;
    std::size_t mask_ = 0;
};

// A 256-bit sketch of a bigram set. The streaming side keeps, per bit, the total repeats of its
// bigrams on that bit, so the sum over the bits both sketches hold bounds the hits from above
// (bigrams sharing a bit only ever add).
using Sketch = std::array<uint64_t, 4>;
unsigned sketchBit(Bigram b) { return static_cast<unsigned>((b * 0xD6E8FEB86659FD93ULL) >> 56); }

Sketch sketchOf(const std::vector<Bigram>& set) {
    Sketch s{};
    for (Bigram b : set) s[sketchBit(b) >> 6] |= uint64_t{1} << (sketchBit(b) & 63);
    return s;
}

struct WeightedSketch {
    Sketch bits{};
    std::array<uint32_t, 256> weight{};
    explicit WeightedSketch(const std::vector<std::pair<Bigram, int64_t>>& items) {
        for (const auto& [b, w] : items) {
            unsigned bit = sketchBit(b);
            bits[bit >> 6] |= uint64_t{1} << (bit & 63);
            weight[bit] += static_cast<uint32_t>(w);
        }
    }
    int64_t bound(const Sketch& other) const {
        int64_t sum = 0;
        for (unsigned w = 0; w < 4; ++w)
            for (uint64_t common = bits[w] & other[w]; common; common &= common - 1)
                sum += weight[w * 64 + static_cast<unsigned>(__builtin_ctzll(common))];
        return sum;
    }
};

}  // namespace

struct LibraryMatchIndex::Impl {
    Postings byTitle, byArtist;                                 // lists ordered by title / artist length
    std::vector<uint32_t> titleListLengths, artistListLengths;  // parallel to the lists
    std::vector<uint32_t> artistLengths;                        // distinct, ascending
    uint32_t maxTitleLength = 0;
    std::unordered_map<int64_t, Postings> bySecond;  // title and (tagged) artist bigrams, per second
    // Per entry. What a candidate test reads sits together, so one test costs one or two cache lines.
    struct Info {
        double duration;
        uint32_t titleLen, artistLen;  // what the plain tests need first, never split by a line
        Sketch title, artist;
    };
    std::vector<Info> info;
    std::vector<uint32_t> artistLengthIndex;
    std::vector<uint32_t> titleStart, artistStart;
    std::vector<Bigram> titleSets, artistSets;
    std::vector<uint32_t> alwaysScored;
};

struct LibraryMatchIndex::Scratch {
    // Counts valid for the current pass only: a slot from an older pass reads as zero, so nothing
    // has to be cleared between passes. The low bit of mark flags a candidate.
    struct Slot {
        uint32_t mark = 0;
        uint16_t title = 0;
        uint16_t artist = 0;
    };
    std::vector<Slot> slots;
    uint32_t pass = 0;
    std::vector<uint32_t> touched, candidates, survivors;
    explicit Scratch(std::size_t n) : slots(n) {}

    void nextPass() {
        if (++pass >= (1u << 31)) {
            std::fill(slots.begin(), slots.end(), Slot{});
            pass = 1;
        }
    }
    void prefetch(uint32_t e) const { __builtin_prefetch(&slots[e], 1); }
    Slot& slot(uint32_t e) {
        Slot& s = slots[e];
        if ((s.mark >> 1) != pass) s = Slot{pass << 1, 0, 0};
        return s;
    }
};

LibraryMatchIndex::LibraryMatchIndex(const std::vector<RekordboxTrack>& tracks)
    : LibraryMatchIndex(Engine::buildIndex(tracks)) {}

LibraryMatchIndex::LibraryMatchIndex(std::vector<LibraryEntry> entries)
    : entries_(std::move(entries)), impl_(std::make_unique<Impl>()) {
    Impl& ix = *impl_;
    auto indexed = [](const LibraryEntry& e) {
        return !e.titleBigrams.empty() && !e.artistBigrams.empty() && e.titleBigrams.size() <= boundLimit &&
               e.artistBigrams.size() <= boundLimit && std::abs(e.duration) <= durationLimit &&
               e.duration == std::floor(e.duration);
    };
    std::vector<uint32_t> byTitleLength, byArtistLength;
    std::unordered_map<int64_t, std::vector<std::pair<Bigram, uint32_t>>> perSecond;
    ix.titleStart.push_back(0);
    ix.artistStart.push_back(0);
    for (uint32_t i = 0; i < entries_.size(); ++i) {
        const auto& e = entries_[i];
        ix.info.push_back({e.duration, static_cast<uint32_t>(std::min(e.titleBigrams.size(), boundLimit + 1)),
                           static_cast<uint32_t>(std::min(e.artistBigrams.size(), boundLimit + 1)),
                           sketchOf(e.titleBigramsSet), sketchOf(e.artistBigramsSet)});
        if (!indexed(e)) {
            ix.alwaysScored.push_back(i);
        } else {
            byTitleLength.push_back(i);
            byArtistLength.push_back(i);
            ix.maxTitleLength = std::max(ix.maxTitleLength, ix.info.back().titleLen);
            auto& group = perSecond[static_cast<int64_t>(e.duration)];
            for (Bigram b : e.titleBigramsSet) group.emplace_back(b, i);
            for (Bigram b : e.artistBigramsSet) group.emplace_back(b | artistTag, i);
            ix.titleSets.insert(ix.titleSets.end(), e.titleBigramsSet.begin(), e.titleBigramsSet.end());
            ix.artistSets.insert(ix.artistSets.end(), e.artistBigramsSet.begin(), e.artistBigramsSet.end());
        }
        ix.titleStart.push_back(static_cast<uint32_t>(ix.titleSets.size()));
        ix.artistStart.push_back(static_cast<uint32_t>(ix.artistSets.size()));
    }
    std::stable_sort(byTitleLength.begin(), byTitleLength.end(),
                     [&](uint32_t a, uint32_t b) { return ix.info[a].titleLen < ix.info[b].titleLen; });
    std::stable_sort(byArtistLength.begin(), byArtistLength.end(),
                     [&](uint32_t a, uint32_t b) { return ix.info[a].artistLen < ix.info[b].artistLen; });
    // The title lists are built beside the rest: the build is part of every import.
    std::thread titleBuilder([&] {
        std::vector<std::pair<Bigram, uint32_t>> pairs;
        for (uint32_t i : byTitleLength)
            for (Bigram b : entries_[i].titleBigramsSet) pairs.emplace_back(b, i);
        ix.byTitle.build(pairs);
        ix.titleListLengths.reserve(ix.byTitle.entries.size());
        for (uint32_t e : ix.byTitle.entries) ix.titleListLengths.push_back(ix.info[e].titleLen);
    });
    std::vector<std::pair<Bigram, uint32_t>> pairs;
    for (uint32_t i : byArtistLength)
        for (Bigram b : entries_[i].artistBigramsSet) pairs.emplace_back(b, i);
    ix.byArtist.build(pairs);
    for (uint32_t e : ix.byArtist.entries) ix.artistListLengths.push_back(ix.info[e].artistLen);
    ix.artistLengthIndex.assign(entries_.size(), 0);
    for (uint32_t i : byArtistLength) {
        if (ix.artistLengths.empty() || ix.artistLengths.back() != ix.info[i].artistLen) ix.artistLengths.push_back(ix.info[i].artistLen);
        ix.artistLengthIndex[i] = static_cast<uint32_t>(ix.artistLengths.size() - 1);
    }
    for (auto& [second, group] : perSecond) ix.bySecond[second].build(group);
    titleBuilder.join();
}

LibraryMatchIndex::~LibraryMatchIndex() = default;

PlaylistMatchResult LibraryMatchIndex::match(const SpotifyTrack& track) {
    if (!scratch_) scratch_ = std::make_unique<Scratch>(entries_.size());
    return matchWith(track, *scratch_);
}

PlaylistMatchResult LibraryMatchIndex::matchWith(const SpotifyTrack& track, Scratch& s) const {
    const Impl& ix = *impl_;
    Query q = makeQuery(track);
    if (q.title.size() > boundLimit || q.artist.size() > boundLimit || !(std::abs(q.duration) <= durationLimit)) {
        scored_ += entries_.size();
        return bruteForce(track, q, entries_);
    }
    const int64_t n = static_cast<int64_t>(q.title.size());
    const int64_t nA = static_cast<int64_t>(q.artist.size());
    const auto title = withRepeats(q.titleSorted);
    const auto artist = withRepeats(q.artistSorted);
    const CountTable titleTable(title), artistTable(artist);
    const WeightedSketch titleSketch(title), artistSketch(artist);

    std::vector<int64_t> multiplicities;
    for (const auto& a : artist) multiplicities.push_back(a.second);
    std::sort(multiplicities.rbegin(), multiplicities.rend());
    std::vector<int64_t> best(multiplicities.size() + 1, 0);
    for (std::size_t k = 0; k < multiplicities.size(); ++k) best[k + 1] = best[k] + multiplicities[k];
    auto artistHitsBound = [&](std::size_t mA) { return best[std::min(mA, multiplicities.size())]; };

    auto passes = [&](uint32_t e, int64_t c, int64_t cA, bool bonus) {
        const int64_t t = n + ix.info[e].titleLen, a = nA + ix.info[e].artistLen;
        return 24 * c * a + 16 * cA * t + (bonus ? 2 * t * a : 0) >= 13 * t * a;
    };
    auto near = [&](uint32_t e) { return std::abs(q.duration - ix.info[e].duration) <= Engine::durationTolerance; };
    auto titleHitsOf = [&](uint32_t e) {
        int64_t c = 0;
        for (uint32_t p = ix.titleStart[e]; p < ix.titleStart[e + 1]; ++p) c += titleTable.get(ix.titleSets[p]);
        return c;
    };
    auto artistHitsOf = [&](uint32_t e) {
        int64_t c = 0;
        for (uint32_t p = ix.artistStart[e]; p < ix.artistStart[e + 1]; ++p) c += artistTable.get(ix.artistSets[p]);
        return c;
    };

    s.survivors.clear();

    // Near: c and cA counted exactly within the seconds around the streaming duration.
    s.nextPass();
    const auto lo = static_cast<int64_t>(std::floor(q.duration)) - 6;
    const auto hi = static_cast<int64_t>(std::ceil(q.duration)) + 6;
    for (int64_t second = lo; second <= hi; ++second) {
        auto g = ix.bySecond.find(second);
        if (g == ix.bySecond.end()) continue;
        for (int kind = 0; kind < 2; ++kind) {
            for (const auto& [b, weight] : kind == 0 ? title : artist) {
                const Range* r = g->second.find(kind == 0 ? b : b | artistTag);
                if (!r) continue;
                for (uint32_t p = r->first; p < r->second; ++p) {
                    if (p + prefetchDistance < r->second) s.prefetch(g->second.entries[p + prefetchDistance]);
                    uint32_t e = g->second.entries[p];
                    auto& slot = s.slot(e);
                    if (slot.title == 0 && slot.artist == 0) s.touched.push_back(e);
                    (kind == 0 ? slot.title : slot.artist) += static_cast<uint16_t>(weight);
                }
            }
        }
    }
    for (std::size_t k = 0; k < s.touched.size(); ++k) {
        if (k + prefetchDistance < s.touched.size()) __builtin_prefetch(&ix.info[s.touched[k + prefetchDistance]]);
        const uint32_t e = s.touched[k];
        if (passes(e, s.slots[e].title, s.slots[e].artist, near(e))) s.survivors.push_back(e);
    }
    s.touched.clear();

    // Far.
    struct List {
        const Range* range;
        int64_t weight;
    };
    auto sortedLists = [](std::vector<List> v) {
        std::sort(v.begin(), v.end(), [](const List& x, const List& y) {
            return x.range->second - x.range->first < y.range->second - y.range->first;
        });
        return v;
    };
    std::vector<List> titleLists, artistLists;
    for (const auto& [b, w] : title)
        if (const Range* r = ix.byTitle.find(b)) titleLists.push_back({r, w});
    for (const auto& [b, w] : artist)
        if (const Range* r = ix.byArtist.find(b)) artistLists.push_back({r, w});
    titleLists = sortedLists(std::move(titleLists));
    artistLists = sortedLists(std::move(artistLists));
    std::vector<int64_t> tRest(titleLists.size() + 1, 0), aRest(artistLists.size() + 1, 0);
    for (std::size_t i = titleLists.size(); i-- > 0;) tRest[i] = tRest[i + 1] + titleLists[i].weight;
    for (std::size_t i = artistLists.size(); i-- > 0;) aRest[i] = aRest[i + 1] + artistLists[i].weight;

    const auto& lens = ix.artistLengths;
    const std::size_t kinds = lens.size();
    // The run of each artist list per distinct artist length.
    std::vector<Range> runs(artistLists.size() * kinds);
    for (std::size_t i = 0; i < artistLists.size(); ++i) {
        const auto begin = ix.artistListLengths.begin();
        auto from = begin + artistLists[i].range->first;
        const auto to = begin + artistLists[i].range->second;
        for (std::size_t k = 0; k < kinds && from != to; ++k) {
            auto [lo2, hi2] = std::equal_range(from, to, lens[k]);
            runs[i * kinds + k] = {static_cast<uint32_t>(lo2 - begin), static_cast<uint32_t>(hi2 - begin)};
            from = hi2;
        }
    }
    // Title list i is read for m <= maxM(i); artist list i for length k while 32 (aRest(i) + extra)
    // >= ty (nA + mA), and not at all when h(mA) cannot give 32 cA >= ty (nA + mA).
    auto maxM = [&](std::size_t i, int64_t tx) { return (48 * (tRest[i] + extraWeight)) / tx - n; };
    auto titleCut = [&](std::size_t i, int64_t tx) -> uint32_t {
        const Range& r = *titleLists[i].range;
        const int64_t limit = std::min<int64_t>(maxM(i, tx), boundLimit);
        if (limit < 1) return r.first;
        const auto begin = ix.titleListLengths.begin();
        return static_cast<uint32_t>(
            std::upper_bound(begin + r.first, begin + r.second, static_cast<uint32_t>(limit)) - begin);
    };
    auto artistActive = [&](std::size_t k, int64_t ty) {
        return 32 * artistHitsBound(lens[k]) >= ty * (nA + static_cast<int64_t>(lens[k]));
    };
    auto artistReads = [&](std::size_t i, std::size_t k, int64_t ty) {
        return 32 * (aRest[i] + extraWeight) >= ty * (nA + static_cast<int64_t>(lens[k]));
    };
    int64_t tx = 13, fewest = -1;
    for (int64_t x = 1; x < 26; ++x) {
        int64_t reads = 0;
        for (std::size_t i = 0; i < titleLists.size(); ++i) reads += titleCut(i, x) - titleLists[i].range->first;
        for (std::size_t k = 0; k < kinds; ++k) {
            if (!artistActive(k, 26 - x)) continue;
            for (std::size_t i = 0; i < artistLists.size() && artistReads(i, k, 26 - x); ++i)
                reads += runs[i * kinds + k].second - runs[i * kinds + k].first;
        }
        if (fewest < 0 || reads < fewest) fewest = reads, tx = x;
    }
    const int64_t ty = 26 - tx;

    // What a candidate needs on one side, and the weight left unread for its length there.
    std::vector<int64_t> titleNeed(ix.maxTitleLength + 1), titleUnread(ix.maxTitleLength + 1);
    for (uint32_t m = 1; m <= ix.maxTitleLength; ++m) {
        titleNeed[m] = (tx * (n + m) + 47) / 48;
        std::size_t j = 0;
        while (j < titleLists.size() && maxM(j, tx) >= static_cast<int64_t>(m)) ++j;
        titleUnread[m] = tRest[j];
    }
    std::vector<int64_t> artistNeed(kinds), artistUnread(kinds);
    for (std::size_t k = 0; k < kinds; ++k) {
        artistNeed[k] = (ty * (nA + static_cast<int64_t>(lens[k])) + 31) / 32;
        std::size_t j = 0;
        while (j < artistLists.size() && artistReads(j, k, ty)) ++j;
        artistUnread[k] = aRest[j];
    }

    s.nextPass();
    s.candidates.clear();
    auto candidate = [&](uint32_t e, Scratch::Slot& slot) {
        if (slot.mark & 1) return;
        slot.mark |= 1;
        s.candidates.push_back(e);
    };
    for (std::size_t i = 0; i < titleLists.size(); ++i) {
        const auto weight = static_cast<uint16_t>(titleLists[i].weight);
        for (uint32_t p = titleLists[i].range->first, end = titleCut(i, tx); p < end; ++p) {
            if (p + prefetchDistance < end) s.prefetch(ix.byTitle.entries[p + prefetchDistance]);
            const uint32_t e = ix.byTitle.entries[p], m = ix.titleListLengths[p];
            auto& slot = s.slot(e);
            slot.title = static_cast<uint16_t>(slot.title + weight);
            if (slot.title + titleUnread[m] >= titleNeed[m]) candidate(e, slot);
        }
    }
    for (std::size_t k = 0; k < kinds; ++k) {
        if (!artistActive(k, ty)) continue;
        for (std::size_t i = 0; i < artistLists.size() && artistReads(i, k, ty); ++i) {
            const auto weight = static_cast<uint16_t>(artistLists[i].weight);
            const Range& r = runs[i * kinds + k];
            for (uint32_t p = r.first; p < r.second; ++p) {
                if (p + prefetchDistance < r.second) s.prefetch(ix.byArtist.entries[p + prefetchDistance]);
                const uint32_t e = ix.byArtist.entries[p];
                auto& slot = s.slot(e);
                slot.artist = static_cast<uint16_t>(slot.artist + weight);
                if (slot.artist + artistUnread[k] >= artistNeed[k]) candidate(e, slot);
            }
        }
    }
    for (std::size_t k = 0; k < s.candidates.size(); ++k) {
        if (k + prefetchDistance < s.candidates.size()) {
            const auto* info = &ix.info[s.candidates[k + prefetchDistance]];
            __builtin_prefetch(info);
            __builtin_prefetch(reinterpret_cast<const char*>(info) + 64);
        }
        const uint32_t e = s.candidates[k];
        if (near(e)) continue;  // counted exactly above
        const int64_t h = artistHitsBound(ix.info[e].artistLen);
        int64_t c = titleSketch.bound(ix.info[e].title);
        int64_t cA = std::min(h, artistSketch.bound(ix.info[e].artist));
        if (!passes(e, c, cA, false)) continue;
        c = titleHitsOf(e);
        if (!passes(e, c, cA, false)) continue;
        if (passes(e, c, artistHitsOf(e), false)) s.survivors.push_back(e);
    }

    s.survivors.insert(s.survivors.end(), ix.alwaysScored.begin(), ix.alwaysScored.end());
    std::sort(s.survivors.begin(), s.survivors.end());
    s.survivors.erase(std::unique(s.survivors.begin(), s.survivors.end()), s.survivors.end());
    scored_ += s.survivors.size();
    std::vector<ScoredMatch> kept;
    for (uint32_t e : s.survivors)
        if (auto m = score(q, entries_[e])) kept.push_back(std::move(*m));
    return Engine::classify(track, std::move(kept));
}

std::vector<PlaylistMatchResult> LibraryMatchIndex::matchAll(const std::vector<SpotifyTrack>& tracks,
                                                             unsigned threads, const Progress& progress) const {
    std::vector<PlaylistMatchResult> out(tracks.size());
    std::atomic<std::size_t> next{0}, done{0};
    auto work = [&](bool report) {
        Scratch scratch(entries_.size());
        for (std::size_t i; (i = next.fetch_add(1)) < tracks.size();) {
            out[i] = matchWith(tracks[i], scratch);
            std::size_t d = ++done;
            if (report && progress) progress(d, tracks.size());
        }
    };
    threads = std::max(1u, std::min<unsigned>(threads, static_cast<unsigned>(tracks.size())));
    std::vector<std::thread> helpers;
    for (unsigned t = 1; t < threads; ++t) helpers.emplace_back(work, false);
    work(true);
    for (auto& h : helpers) h.join();
    if (progress) progress(tracks.size(), tracks.size());
    return out;
}

}  // namespace fv
