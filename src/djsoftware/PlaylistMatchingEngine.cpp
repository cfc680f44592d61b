#include "djsoftware/PlaylistMatchingEngine.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "core/Uuid.hpp"
#include "djsoftware/TextClusters.hpp"
#include "platform/PageArray.hpp"

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

namespace {

// Runs work(part) for every part below count: part 0 on the calling thread, the others on threads of
// their own (or here, when no thread can be started). The first failure is rethrown once every part
// has finished, so a failed allocation is an error and not the end of the program.
template <typename F>
void onThreads(std::size_t count, F&& work) {
    std::vector<std::exception_ptr> failures(count);
    auto run = [&](std::size_t part) {
        try {
            work(part);
        } catch (...) {
            failures[part] = std::current_exception();
        }
    };
    std::vector<std::thread> helpers;
    helpers.reserve(count);
    for (std::size_t part = 1; part < count; ++part) {
        try {
            helpers.emplace_back(run, part);
        } catch (const std::system_error&) {
            run(part);
        }
    }
    run(0);
    for (auto& h : helpers) h.join();
    for (auto& f : failures)
        if (f) std::rethrow_exception(f);
}

}  // namespace

// Preparing the entries (normalising, splitting into characters) costs more than building the
// index, so a large library is prepared on several threads.
std::vector<LibraryEntry> Engine::buildIndex(const std::vector<RekordboxTrack>& tracks) {
    const std::size_t threads = std::min<std::size_t>({std::max(1u, std::thread::hardware_concurrency()), 4,
                                                       tracks.size() / 2000 + 1});
    std::vector<LibraryEntry> out(tracks.size());
    onThreads(threads, [&](std::size_t part) {
        for (std::size_t i = part * tracks.size() / threads; i < (part + 1) * tracks.size() / threads; ++i)
            out[i] = makeEntry(tracks[i]);
    });
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
// Near entries (within the duration tolerance) are found through a second copy of every list,
// ordered by whole second of duration, with c and cA counted exactly. Far entries (no bonus) need
// 48c/t + 32cA/a >= 26; for a split 26 = tx + ty chosen per streaming track, each has 48c/t >= tx or
// 32cA/a >= ty, so it is found from one side:
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
// Each list is read one unit of weight beyond what a single hit needs (see above).
constexpr int64_t extraWeight = 1;
// Entries looked up this far ahead while walking a list: the walk is bound by memory latency.
constexpr uint32_t prefetchDistance = 12;

using Range = std::pair<uint32_t, uint32_t>;
constexpr uint32_t noNumber = ~uint32_t{0};

// Bigram -> dense number. Open addressing; only read once built, so threads may share it.
class BigramNumbers {
public:
    uint32_t add(Bigram b) {
        if ((std::size_t{count_} + 1) * 2 > slots_.size()) grow();
        std::size_t i = slot(b);
        for (; slots_[i].number != noNumber; i = (i + 1) & mask_)
            if (slots_[i].key == b) return slots_[i].number;
        slots_[i] = {b, count_};
        return count_++;
    }
    uint32_t find(Bigram b) const {
        if (slots_.empty()) return noNumber;
        for (std::size_t i = slot(b);; i = (i + 1) & mask_) {
            if (slots_[i].number == noNumber) return noNumber;
            if (slots_[i].key == b) return slots_[i].number;
        }
    }
    uint32_t size() const { return count_; }

private:
    struct Slot {
        Bigram key = 0;
        uint32_t number = noNumber;
    };
    std::size_t slot(Bigram b) const { return static_cast<std::size_t>((b * 0x9E3779B97F4A7C15ULL) >> 32) & mask_; }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(std::max<std::size_t>(256, old.size() * 2), Slot{});
        mask_ = slots_.size() - 1;
        for (const Slot& o : old) {
            if (o.number == noNumber) continue;
            std::size_t i = slot(o.key);
            while (slots_[i].number != noNumber) i = (i + 1) & mask_;
            slots_[i] = o;
        }
    }
    std::vector<Slot> slots_;
    std::size_t mask_ = 0;
    uint32_t count_ = 0;
};

// The title or the artist side of the index: every indexed entry's bigram set by number, and per
// number the entries holding it, twice over: once ordered by the side's length, with the runs of
// equal length, and once by whole second of duration. The lists are counted and placed in arrays;
// the entries themselves are read once, in order, since they are large and their sets lie all over
// the heap.
struct Side {
    BigramNumbers numbers;
    std::vector<uint32_t> setStart;  // per entry, into sets
    PageArray<uint32_t> sets;
    std::vector<uint32_t> listStart;  // per number, into the lists below
    PageArray<uint32_t> byLength;
    std::vector<uint32_t> runStart;  // per number, into the runs of its list
    std::vector<uint16_t> runLength;
    std::vector<uint32_t> runEnd;  // into byLength
    PageArray<uint32_t> bySecond;
    PageArray<int32_t> seconds;

    Range list(uint32_t number) const { return {listStart[number], listStart[number + 1]}; }
    Range runs(uint32_t number) const { return {runStart[number], runStart[number + 1]}; }

    void build(const std::vector<LibraryEntry>& entries, std::vector<Bigram> LibraryEntry::*set,
               const std::vector<uint8_t>& indexed, const std::vector<uint16_t>& lengthOf,
               const std::vector<uint32_t>& lengthOrder, const std::vector<int32_t>& secondOf,
               const std::vector<uint32_t>& secondOrder) {
        setStart.assign(entries.size() + 1, 0);
        for (std::size_t i = 0; i < entries.size(); ++i)
            setStart[i + 1] = setStart[i] + (indexed[i] ? static_cast<uint32_t>((entries[i].*set).size()) : 0);
        const std::size_t pairs = setStart.back();
        sets = PageArray<uint32_t>(pairs);
        std::vector<uint32_t> fill;
        for (std::size_t i = 0; i < entries.size(); ++i) {
            if (!indexed[i]) continue;
            uint32_t at = setStart[i];
            for (Bigram b : entries[i].*set) {
                const uint32_t number = numbers.add(b);
                if (number == fill.size()) fill.push_back(0);
                ++fill[number];
                sets[at++] = number;
            }
        }
        listStart.assign(fill.size() + 1, 0);
        for (std::size_t k = 0; k < fill.size(); ++k) listStart[k + 1] = listStart[k] + fill[k];
        byLength = PageArray<uint32_t>(pairs);
        PageArray<uint16_t> lengths(pairs);
        bySecond = PageArray<uint32_t>(pairs);
        seconds = PageArray<int32_t>(pairs);
        std::copy(listStart.begin(), listStart.end() - 1, fill.begin());
        for (uint32_t e : lengthOrder) {
            for (uint32_t p = setStart[e]; p < setStart[e + 1]; ++p) {
                const uint32_t at = fill[sets[p]]++;
                byLength[at] = e;
                lengths[at] = lengthOf[e];
            }
        }
        runStart.reserve(fill.size() + 1);
        runStart.push_back(0);
        for (std::size_t number = 0; number + 1 < listStart.size(); ++number) {
            for (uint32_t p = listStart[number]; p < listStart[number + 1]; ++p) {
                if (p + 1 == listStart[number + 1] || lengths[p + 1] != lengths[p]) {
                    runLength.push_back(lengths[p]);
                    runEnd.push_back(p + 1);
                }
            }
            runStart.push_back(static_cast<uint32_t>(runEnd.size()));
        }
        std::copy(listStart.begin(), listStart.end() - 1, fill.begin());
        for (uint32_t e : secondOrder) {
            for (uint32_t p = setStart[e]; p < setStart[e + 1]; ++p) {
                const uint32_t at = fill[sets[p]]++;
                bySecond[at] = e;
                seconds[at] = secondOf[e];
            }
        }
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

// The per-bit totals are kept as bit planes (plane j holds bit j of every total), so the bound is a
// few population counts: the sum of 2^j times the common bits of plane j.
struct WeightedSketch {
    std::vector<Sketch> planes;
    explicit WeightedSketch(const std::vector<std::pair<Bigram, int64_t>>& items) {
        std::array<uint32_t, 256> weight{};
        uint32_t most = 0;
        for (const auto& [b, w] : items) most = std::max(most, weight[sketchBit(b)] += static_cast<uint32_t>(w));
        for (unsigned j = 0; (most >> j) != 0; ++j) {
            Sketch plane{};
            for (unsigned bit = 0; bit < 256; ++bit)
                if ((weight[bit] >> j) & 1) plane[bit >> 6] |= uint64_t{1} << (bit & 63);
            planes.push_back(plane);
        }
    }
    int64_t bound(const Sketch& other) const {
        int64_t sum = 0;
        for (std::size_t j = 0; j < planes.size(); ++j) {
            const Sketch& p = planes[j];
            sum += static_cast<int64_t>(__builtin_popcountll(p[0] & other[0]) + __builtin_popcountll(p[1] & other[1]) +
                                        __builtin_popcountll(p[2] & other[2]) + __builtin_popcountll(p[3] & other[3]))
                   << j;
        }
        return sum;
    }
};

}  // namespace

struct LibraryMatchIndex::Impl {
    Side title, artist;
    std::vector<uint32_t> artistLengths;  // distinct, ascending
    uint32_t maxTitleLength = 0;
    // Per entry; one candidate test reads one entry's whole record, so it is one cache line and a bit.
    struct Info {
        int32_t second;  // indexed entries last whole seconds
        uint16_t titleLen, artistLen;
        Sketch title, artist;
    };
    PageArray<Info> info;
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
    const std::size_t count = entries_.size();
    std::vector<uint8_t> indexed(count, 0);
    std::vector<uint16_t> titleLen(count), artistLen(count);
    std::vector<int32_t> second(count);
    std::vector<uint32_t> byTitleLength, byArtistLength;
    ix.info = PageArray<Impl::Info>(count);
    uint64_t pairs = 0;  // list positions are 32 bits wide
    for (uint32_t i = 0; i < count; ++i) {
        const auto& e = entries_[i];
        titleLen[i] = static_cast<uint16_t>(std::min(e.titleBigrams.size(), boundLimit + 1));
        artistLen[i] = static_cast<uint16_t>(std::min(e.artistBigrams.size(), boundLimit + 1));
        indexed[i] = !e.titleBigrams.empty() && !e.artistBigrams.empty() && e.titleBigrams.size() <= boundLimit &&
                     e.artistBigrams.size() <= boundLimit && std::abs(e.duration) <= durationLimit &&
                     e.duration == std::floor(e.duration) &&
                     (pairs += e.titleBigramsSet.size() + e.artistBigramsSet.size()) < (uint64_t{1} << 32) - 1;
        if (!indexed[i]) {
            ix.alwaysScored.push_back(i);
            continue;
        }
        second[i] = static_cast<int32_t>(e.duration);
        ix.info[i] = {second[i], titleLen[i], artistLen[i], sketchOf(e.titleBigramsSet), sketchOf(e.artistBigramsSet)};
        byTitleLength.push_back(i);
        ix.maxTitleLength = std::max<uint32_t>(ix.maxTitleLength, titleLen[i]);
    }
    byArtistLength = byTitleLength;
    std::vector<uint32_t> bySecond = byTitleLength;
    std::stable_sort(bySecond.begin(), bySecond.end(), [&](uint32_t a, uint32_t b) { return second[a] < second[b]; });
    // The two sides are built side by side: the build is part of every import.
    onThreads(2, [&](std::size_t part) {
        if (part == 1) {
            std::stable_sort(byTitleLength.begin(), byTitleLength.end(),
                             [&](uint32_t a, uint32_t b) { return titleLen[a] < titleLen[b]; });
            ix.title.build(entries_, &LibraryEntry::titleBigramsSet, indexed, titleLen, byTitleLength, second, bySecond);
            return;
        }
        std::stable_sort(byArtistLength.begin(), byArtistLength.end(),
                         [&](uint32_t a, uint32_t b) { return artistLen[a] < artistLen[b]; });
        ix.artist.build(entries_, &LibraryEntry::artistBigramsSet, indexed, artistLen, byArtistLength, second, bySecond);
        for (uint32_t i : byArtistLength)
            if (ix.artistLengths.empty() || ix.artistLengths.back() != artistLen[i]) ix.artistLengths.push_back(artistLen[i]);
    });
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
    const WeightedSketch titleSketch(title), artistSketch(artist);
    // The streaming bigrams by their number on each side; one the library lacks cannot be hit.
    auto numbered = [](const Side& side, const std::vector<std::pair<Bigram, int64_t>>& items) {
        std::vector<std::pair<Bigram, int64_t>> out;
        for (const auto& [b, w] : items)
            if (const uint32_t number = side.numbers.find(b); number != noNumber) out.emplace_back(number, w);
        return out;
    };
    const auto titleNumbers = numbered(ix.title, title), artistNumbers = numbered(ix.artist, artist);
    const CountTable titleTable(titleNumbers), artistTable(artistNumbers);

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
    auto near = [&](uint32_t e) { return std::abs(q.duration - ix.info[e].second) <= Engine::durationTolerance; };
    auto titleHitsOf = [&](uint32_t e) {
        int64_t c = 0;
        for (uint32_t p = ix.title.setStart[e]; p < ix.title.setStart[e + 1]; ++p) c += titleTable.get(ix.title.sets[p]);
        return c;
    };
    auto artistHitsOf = [&](uint32_t e) {
        int64_t c = 0;
        for (uint32_t p = ix.artist.setStart[e]; p < ix.artist.setStart[e + 1]; ++p)
            c += artistTable.get(ix.artist.sets[p]);
        return c;
    };

    s.survivors.clear();

    // Near: c and cA counted exactly within the seconds around the streaming duration.
    s.nextPass();
    const auto lo = static_cast<int64_t>(std::floor(q.duration)) - 6;
    const auto hi = static_cast<int64_t>(std::ceil(q.duration)) + 6;
    for (int kind = 0; kind < 2; ++kind) {
        const Side& side = kind == 0 ? ix.title : ix.artist;
        for (const auto& [number, weight] : kind == 0 ? titleNumbers : artistNumbers) {
            const Range r = side.list(static_cast<uint32_t>(number));
            const auto from = side.seconds.begin() + r.first, to = side.seconds.begin() + r.second;
            const auto begin = static_cast<uint32_t>(std::lower_bound(from, to, lo) - side.seconds.begin());
            const auto end = static_cast<uint32_t>(std::upper_bound(from, to, hi) - side.seconds.begin());
            for (uint32_t p = begin; p < end; ++p) {
                if (p + prefetchDistance < end) s.prefetch(side.bySecond[p + prefetchDistance]);
                const uint32_t e = side.bySecond[p];
                auto& slot = s.slot(e);
                if (slot.title == 0 && slot.artist == 0) s.touched.push_back(e);
                (kind == 0 ? slot.title : slot.artist) += static_cast<uint16_t>(weight);
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
        Range range;
        int64_t weight;
        uint32_t number;
    };
    auto sortedLists = [](std::vector<List> v) {
        std::sort(v.begin(), v.end(), [](const List& x, const List& y) {
            return x.range.second - x.range.first < y.range.second - y.range.first;
        });
        return v;
    };
    std::vector<List> titleLists, artistLists;
    for (const auto& [b, w] : titleNumbers) {
        const auto number = static_cast<uint32_t>(b);
        titleLists.push_back({ix.title.list(number), w, number});
    }
    for (const auto& [b, w] : artistNumbers) {
        const auto number = static_cast<uint32_t>(b);
        artistLists.push_back({ix.artist.list(number), w, number});
    }
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
        const Range rs = ix.artist.runs(artistLists[i].number);
        uint32_t from = artistLists[i].range.first;
        std::size_t k = 0;
        for (uint32_t r = rs.first; r < rs.second; ++r) {
            while (lens[k] < ix.artist.runLength[r]) ++k;  // every run's length is one of lens
            runs[i * kinds + k] = {from, ix.artist.runEnd[r]};
            from = ix.artist.runEnd[r];
        }
    }
    // Title list i is read for m <= maxM(i); artist list i for length k while 32 (aRest(i) + extra)
    // >= ty (nA + mA), and not at all when h(mA) cannot give 32 cA >= ty (nA + mA).
    auto maxM = [&](std::size_t i, int64_t tx) { return (48 * (tRest[i] + extraWeight)) / tx - n; };
    // The runs of title list i that are read: those of length up to maxM(i).
    auto titleRunsRead = [&](std::size_t i, int64_t tx) -> uint32_t {
        const Range rs = ix.title.runs(titleLists[i].number);
        const int64_t limit = std::min<int64_t>(maxM(i, tx), boundLimit);
        if (limit < 1) return rs.first;
        const auto begin = ix.title.runLength.begin();
        return static_cast<uint32_t>(
            std::upper_bound(begin + rs.first, begin + rs.second, static_cast<uint16_t>(limit)) - begin);
    };
    auto titleCut = [&](std::size_t i, int64_t tx) -> uint32_t {
        const uint32_t read = titleRunsRead(i, tx);
        return read == ix.title.runs(titleLists[i].number).first ? titleLists[i].range.first : ix.title.runEnd[read - 1];
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
        for (std::size_t i = 0; i < titleLists.size(); ++i) reads += titleCut(i, x) - titleLists[i].range.first;
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
    // maxM falls with i, so the lists read for a length are a prefix that shrinks as m grows.
    std::size_t readFor = 0;
    while (readFor < titleLists.size() && maxM(readFor, tx) >= 1) ++readFor;
    for (uint32_t m = 1; m <= ix.maxTitleLength; ++m) {
        titleNeed[m] = (tx * (n + m) + 47) / 48;
        while (readFor > 0 && maxM(readFor - 1, tx) < static_cast<int64_t>(m)) --readFor;
        titleUnread[m] = tRest[readFor];
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
        const uint32_t firstRun = ix.title.runs(titleLists[i].number).first, end = titleCut(i, tx);
        uint32_t run = firstRun;
        for (uint32_t p = titleLists[i].range.first; p < end; ++p) {
            if (p + prefetchDistance < end) s.prefetch(ix.title.byLength[p + prefetchDistance]);
            while (p >= ix.title.runEnd[run]) ++run;
            const uint32_t e = ix.title.byLength[p], m = ix.title.runLength[run];
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
                if (p + prefetchDistance < r.second) s.prefetch(ix.artist.byLength[p + prefetchDistance]);
                const uint32_t e = ix.artist.byLength[p];
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
    onThreads(threads, [&](std::size_t part) { work(part == 0); });
    if (progress) progress(tracks.size(), tracks.size());
    return out;
}

}  // namespace fv
