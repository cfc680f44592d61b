#include <gtest/gtest.h>

#include <iostream>
#include <map>
#include <random>
#include <stdexcept>

#include "djsoftware/PlaylistMatchingEngine.hpp"

using namespace fv;
using Engine = PlaylistMatchingEngine;
using Kind = MatchStatus::Kind;

namespace {

RekordboxTrack lib(std::string title, std::string artist, int64_t seconds) {
    static int n = 0;
    RekordboxTrack t;
    t.id = "lib-" + std::to_string(++n);
    t.title = std::move(title);
    t.artist = std::move(artist);
    t.duration = seconds;
    t.djSource = "test";
    return t;
}

SpotifyTrack stream(std::string title, std::string artist, int64_t ms) {
    SpotifyTrack t;
    t.id = "sp";
    t.title = std::move(title);
    t.artist = std::move(artist);
    t.allArtists = {t.artist};
    t.durationMs = ms;
    return t;
}

ScoredMatch candidate(const std::string& title, double score) {
    return ScoredMatch{"c", lib(title, "a", 1), score, MatchReason::titleArtist};
}

// Both matchers, checked against each other on the way.
PlaylistMatchResult matchBoth(const SpotifyTrack& s, const std::vector<RekordboxTrack>& library) {
    auto entries = Engine::buildIndex(library);
    auto brute = Engine::match(s, entries);
    LibraryMatchIndex index(std::move(entries));
    auto indexed = index.match(s);
    EXPECT_EQ(brute.status.kind, indexed.status.kind) << s.title;
    EXPECT_EQ(brute.status.score, indexed.status.score) << s.title;
    return brute;
}

}  // namespace

TEST(MatchNormalize, FollowsTheStepsInOrder) {
    EXPECT_EQ(Engine::normalize("Song (Radio Edit)"), "song");
    EXPECT_EQ(Engine::normalize("Artist & Friend"), Engine::normalize("Artist and Friend"));
    EXPECT_EQ(Engine::normalize("A featuring B"), "a ft b");
    EXPECT_EQ(Engine::normalize("A Feat. B"), "a ft b");
    EXPECT_EQ(Engine::normalize("A feat B"), "a ft b");
    EXPECT_EQ(Engine::normalize("Defeat"), "defeat");
    // Brackets nest, a stray closing one does not go below zero, square brackets stay.
    EXPECT_EQ(Engine::normalize("a (b (c) d) e"), "a e");
    EXPECT_EQ(Engine::normalize("a) b (c"), "a b");
    EXPECT_EQ(Engine::normalize("Track [Extended Mix]"), "track extended mix");
    // Non-ASCII letters go, precomposed or not; numbers of any script stay.
    EXPECT_EQ(Engine::normalize("Café"), "caf");
    EXPECT_EQ(Engine::normalize("Cafe\xCC\x81"), "caf");
    EXPECT_EQ(Engine::normalize("Über Grün"), "ber grn");
    EXPECT_EQ(Engine::normalize("Ärger mit ß"), "rger mit");
    EXPECT_EQ(Engine::normalize("Vol. \xD9\xA3 \xC2\xBD"), "vol \xD9\xA3 \xC2\xBD");
    // Lower-casing: the Kelvin sign becomes k, Roman numerals their small forms, a dotted I no letter.
    EXPECT_EQ(Engine::normalize("\xE2\x84\xAA" "ick"), "kick");
    EXPECT_EQ(Engine::normalize("Rocky \xE2\x85\xA3"), "rocky \xE2\x85\xB3");
    EXPECT_EQ(Engine::normalize("\xC4\xB0stanbul"), "stanbul");
    // Blanks collapse and are trimmed; punctuation and emoji go.
    EXPECT_EQ(Engine::normalize("  Hello,   World!  \xF0\x9F\x8E\xB5 "), "hello world");
    EXPECT_EQ(Engine::normalize(""), "");
    EXPECT_EQ(Engine::normalize("(only brackets)"), "");
    // Bytes that are not UTF-8 are dropped, never passed on.
    EXPECT_EQ(Engine::normalize("a\xFF\xC3(b"), "a");
    EXPECT_EQ(Engine::normalize("ab\xC3"), "ab");
}

TEST(MatchBigrams, PairsOfCharactersWithRepeats) {
    using V = std::vector<std::string>;
    EXPECT_EQ(Engine::bigrams(""), V{""});
    EXPECT_EQ(Engine::bigrams("x"), V{"x"});
    EXPECT_EQ(Engine::bigrams("abab"), (V{"ab", "ba", "ab"}));
    EXPECT_EQ(Engine::bigrams("a b"), (V{"a ", " b"}));
    // A keycap digit is one character of three code points.
    EXPECT_EQ(Engine::bigrams("1\xEF\xB8\x8F\xE2\x83\xA3" "2"), V{"1\xEF\xB8\x8F\xE2\x83\xA3" "2"});
    EXPECT_EQ(Engine::bigramKeys("abab").size(), 3u);
    EXPECT_EQ(Engine::bigramKeys("abab")[0], Engine::bigramKeys("abab")[2]);
    EXPECT_NE(Engine::bigramKeys("x")[0], Engine::bigramKeys("")[0]);
    EXPECT_NE(Engine::bigramKeys("x")[0], Engine::bigramKeys("xx")[0]);
}

TEST(MatchScore, BracketsDurationsAndTheThreshold) {
    // The bracketed part is removed, so the title part alone is 0.6: below the threshold without the
    // bonus, 0.7 with it.
    auto r = matchBoth(stream("Song (Radio Edit)", "Artist", 300000), {lib("Song", "Zzz Qqq", 200)});
    EXPECT_EQ(r.status.kind, Kind::notFound);
    EXPECT_FALSE(r.confirmedTrack);
    r = matchBoth(stream("Song (Radio Edit)", "Artist", 203000), {lib("Song", "Zzz Qqq", 200)});
    ASSERT_EQ(r.status.kind, Kind::fuzzyMatch);
    EXPECT_DOUBLE_EQ(r.status.score, 0.7);
    ASSERT_TRUE(r.confirmedTrack);
    EXPECT_EQ(r.confirmedTrack->title, "Song");

    // 200 s against 204 s: capped at 1.0 with the duration reason; 206 s: 1.0 on title and artist alone.
    auto entries = Engine::buildIndex({lib("Same Title", "Same Artist", 200)});
    auto withBonus = Engine::match(stream("Same Title", "Same Artist", 204000), entries);
    auto lone = Engine::match(stream("Same Title", "Same Artist", 206000), entries);
    ASSERT_EQ(withBonus.status.kind, Kind::fuzzyMatch);
    EXPECT_EQ(withBonus.status.score, 1.0);
    ASSERT_EQ(lone.status.kind, Kind::fuzzyMatch);
    EXPECT_EQ(lone.status.score, 1.0);
    // The reason travels in the candidates; two copies of the track make it visible.
    entries = Engine::buildIndex({lib("Same Title", "Same Artist", 200), lib("Same Title", "Same Artist", 200)});
    auto both = Engine::match(stream("Same Title", "Same Artist", 205000), entries);
    ASSERT_EQ(both.status.kind, Kind::multipleMatches);
    EXPECT_EQ(both.status.candidates[0].matchReason, MatchReason::titleArtistDuration);
    both = Engine::match(stream("Same Title", "Same Artist", 205001), entries);
    ASSERT_EQ(both.status.kind, Kind::multipleMatches);
    EXPECT_EQ(both.status.candidates[0].matchReason, MatchReason::titleArtist);

    // Title 0.6 and artist 2*1/16*0.4 = 0.05 is exactly the threshold and kept; one more artist
    // bigram (0.647) is not.
    r = matchBoth(stream("Song", "ab", 1000), {lib("Song", "abcdefghijklmnop", 300)});
    ASSERT_EQ(r.status.kind, Kind::fuzzyMatch);
    EXPECT_EQ(r.status.score, 0.65);
    r = matchBoth(stream("Song", "ab", 1000), {lib("Song", "abcdefghijklmnopq", 300)});
    EXPECT_EQ(r.status.kind, Kind::notFound);

    // A one-character title is the single bigram "x".
    r = matchBoth(stream("X", "Artist", 100000), {lib("x", "Artist", 100), lib("Xy", "Artist", 100)});
    ASSERT_EQ(r.status.kind, Kind::fuzzyMatch);
    EXPECT_EQ(r.confirmedTrack->title, "x");
}

TEST(MatchScore, RepeatedArtistBigramsCanCarryATrackWithoutTitleOverlap) {
    // Every "aa" of the streaming artist is a hit against an entry holding "aa" once, so the artist
    // part exceeds its weight: 0.4 * 2*9/10 + 0.1 = 0.82 with nothing shared in the title.
    auto r = matchBoth(stream("Completely Different", "aaaaaaaaaa", 100000), {lib("Zyx", "aa", 100)});
    ASSERT_EQ(r.status.kind, Kind::fuzzyMatch);
    EXPECT_DOUBLE_EQ(r.status.score, 0.4 * 2 * 9 / 10 + 0.1);
    // With a shared bigram but too few for the plain bound 8c >= n+m.
    r = matchBoth(stream("abcdefghij", "nananananana", 100000), {lib("abxyzuvw", "nan", 100)});
    EXPECT_EQ(r.status.kind, Kind::fuzzyMatch);
}

TEST(MatchClassify, WinnerRuleAndAlternatives) {
    auto s = stream("t", "a", 0);
    auto r = Engine::classify(s, {candidate("a", 0.95), candidate("b", 0.80)});
    ASSERT_EQ(r.status.kind, Kind::fuzzyMatch);
    EXPECT_EQ(r.status.track->title, "a");
    EXPECT_EQ(r.confirmedTrack->title, "a");

    r = Engine::classify(s, {candidate("a", 0.95), candidate("b", 0.90)});
    ASSERT_EQ(r.status.kind, Kind::multipleMatches);
    EXPECT_EQ(r.status.candidates.size(), 2u);
    EXPECT_FALSE(r.confirmedTrack);

    r = Engine::classify(s, {candidate("a", 0.70), candidate("b", 0.85)});
    ASSERT_EQ(r.status.kind, Kind::multipleMatches);
    EXPECT_EQ(r.status.candidates[0].track.title, "b");

    // A lead of exactly 0.1 in floating point: 1.0 - 0.9 is just below 0.1.
    r = Engine::classify(s, {candidate("a", 1.0), candidate("b", 0.9)});
    EXPECT_EQ(r.status.kind, 1.0 - 0.9 >= 0.1 ? Kind::fuzzyMatch : Kind::multipleMatches);

    // Five that meet no winner rule: the three best, equal scores in library order.
    r = Engine::classify(s, {candidate("a", 0.7), candidate("b", 0.8), candidate("c", 0.8), candidate("d", 0.66),
                             candidate("e", 0.75)});
    ASSERT_EQ(r.status.kind, Kind::multipleMatches);
    ASSERT_EQ(r.status.candidates.size(), 3u);
    EXPECT_EQ(r.status.candidates[0].track.title, "b");
    EXPECT_EQ(r.status.candidates[1].track.title, "c");
    EXPECT_EQ(r.status.candidates[2].track.title, "e");

    r = Engine::classify(s, {});
    EXPECT_EQ(r.status.kind, Kind::notFound);
    EXPECT_FALSE(r.isManuallyResolved);
    EXPECT_FALSE(r.id.empty());
}

TEST(MatchIndex, EntriesWithEmptyListsAreAlwaysScored) {
    auto entries = Engine::buildIndex({lib("Other", "Artist", 200), lib("Song", "Artist", 200)});
    entries[1].artistBigrams.clear();
    entries[1].artistBigramsSet.clear();
    LibraryEntry bothEmpty = entries[0];
    bothEmpty.track.id = "empty";
    bothEmpty.titleBigrams.clear();
    bothEmpty.titleBigramsSet.clear();
    bothEmpty.artistBigrams.clear();
    bothEmpty.artistBigramsSet.clear();
    entries.push_back(bothEmpty);
    auto s = stream("Song", "Artist", 200000);
    auto brute = Engine::match(s, entries);
    LibraryMatchIndex index(entries);
    auto indexed = index.match(s);
    // Title 0.6, no artist part, the bonus: 0.7.
    for (const auto& r : {brute, indexed}) {
        ASSERT_EQ(r.status.kind, Kind::fuzzyMatch);
        EXPECT_EQ(r.status.track->id, entries[1].track.id);
        EXPECT_DOUBLE_EQ(r.status.score, 0.7);
    }
}

TEST(MatchIndex, AFailureOnOneThreadIsAnErrorOfMatchAll) {
    std::vector<RekordboxTrack> library;
    std::vector<SpotifyTrack> playlist;
    for (int i = 0; i < 200; ++i) {
        library.push_back(lib("Song " + std::to_string(i), "Artist", 200));
        playlist.push_back(stream("Song " + std::to_string(i), "Artist", 200000));
    }
    LibraryMatchIndex index(library);
    // The progress callback (a terminal that went away) fails while the other thread still matches.
    auto failing = [](std::size_t done, std::size_t) {
        if (done > 20) throw std::runtime_error("terminal closed");
    };
    EXPECT_THROW(index.matchAll(playlist, 2, failing), std::runtime_error);
    EXPECT_EQ(index.matchAll(playlist, 2).size(), playlist.size());
}

// ---------------------------------------------------------------- randomised comparison

namespace {

const std::vector<std::string> words = {
    "love", "night", "dance", "floor", "baby", "heart", "fire", "summer", "dream", "light", "music", "party",
    "Liebe", "Nacht", "Tanz", "Sommer", "Traum", "für", "Mädchen", "schön", "Grüße", "Straße", "über",
    "one", "two", "99", "2024", "x", "a", "go", "ooh", "la", "na", "the", "of", "in", "my", "you", "me",
    "Björk", "Sigur", "Rós", "Café", "Déjà", "vu", "Niño", "señor", "nananana", "oooo"};
const std::vector<std::string> extras = {" (Radio Edit)", " (Extended Mix)", " [Remix]", " (feat. Someone)",
                                         " feat. Other", " - Live", " (Original Mix) (2019 Remaster)", ""};
const std::vector<std::string> artistsBase = {"DJ Snake", "Daft Punk", "Helene Fischer", "Die Ärzte", "Röyksopp",
                                              "Armin van Buuren", "Nena", "Modjo", "aa", "Aaaaaaaaaa", "Lala Lala",
                                              "Nananana", "M", "", "Kraftwerk", "Beyoncé", "Jay-Z", "Sido & Bushido"};

struct Gen {
    std::mt19937 rng{20260531};
    int pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

    std::string title() {
        if (chance(0.02)) return "";
        if (chance(0.03)) return std::string(1, static_cast<char>('A' + pick(26)));
        std::string t;
        int n = 1 + pick(4);
        for (int i = 0; i < n; ++i) t += (i ? " " : "") + words[pick(static_cast<int>(words.size()))];
        return t + extras[pick(static_cast<int>(extras.size()))];
    }
    std::string nonsense() {
        std::string w;
        int n = 2 + pick(8);
        for (int i = 0; i < n; ++i) w += static_cast<char>('a' + pick(26));
        return w;
    }
    std::string artist() {
        std::string a = artistsBase[pick(static_cast<int>(artistsBase.size()))];
        if (chance(0.2)) a += (chance(0.5) ? " & " : " featuring ") + artistsBase[pick(static_cast<int>(artistsBase.size()))];
        return a;
    }
    std::string typo(std::string s) {
        if (s.empty()) return s;
        std::size_t i = static_cast<std::size_t>(pick(static_cast<int>(s.size())));
        switch (pick(5)) {
            case 0: s.erase(i, 1); break;  // may cut a UTF-8 sequence: bad bytes are part of the test
            case 1: s.insert(i, 1, static_cast<char>('a' + pick(26))); break;
            case 2: if (i + 1 < s.size()) std::swap(s[i], s[i + 1]); break;
            case 3: s += " (Club Mix)"; break;
            default: for (auto& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return s;
    }
};

void expectSame(const PlaylistMatchResult& a, const PlaylistMatchResult& b, const std::string& what) {
    ASSERT_EQ(a.status.kind, b.status.kind) << what;
    EXPECT_EQ(a.status.score, b.status.score) << what;
    EXPECT_EQ(a.status.track.has_value(), b.status.track.has_value()) << what;
    if (a.status.track && b.status.track) {
        EXPECT_EQ(a.status.track->id, b.status.track->id) << what;
    }
    ASSERT_EQ(a.status.candidates.size(), b.status.candidates.size()) << what;
    for (std::size_t i = 0; i < a.status.candidates.size(); ++i) {
        EXPECT_EQ(a.status.candidates[i].track.id, b.status.candidates[i].track.id) << what;
        EXPECT_EQ(a.status.candidates[i].score, b.status.candidates[i].score) << what;
        EXPECT_EQ(a.status.candidates[i].matchReason, b.status.candidates[i].matchReason) << what;
    }
    EXPECT_EQ(a.confirmedTrack.has_value(), b.confirmedTrack.has_value()) << what;
    if (a.confirmedTrack && b.confirmedTrack) {
        EXPECT_EQ(a.confirmedTrack->id, b.confirmedTrack->id) << what;
    }
}

}  // namespace

TEST(MatchIndex, AgreesWithScoringEveryTrackOnGeneratedPlaylists) {
    Gen g;
    std::vector<RekordboxTrack> library;
    for (int i = 0; i < 4000; ++i) {
        auto t = lib(g.title(), g.artist(), 30 + g.pick(400));
        library.push_back(t);
        // Versions of the same song make several candidates.
        if (g.chance(0.1)) library.push_back(lib(t.title + (g.chance(0.5) ? " (Remix)" : ""), t.artist, t.duration + g.pick(12)));
    }
    std::vector<SpotifyTrack> playlist;
    for (int i = 0; i < 3000; ++i) {
        if (g.chance(0.65)) {
            const auto& src = library[static_cast<std::size_t>(g.pick(static_cast<int>(library.size())))];
            std::string title = g.chance(0.6) ? g.typo(src.title) : src.title;
            std::string artist = g.chance(0.3) ? g.typo(src.artist) : src.artist;
            // Around the 5 s edge, to the millisecond.
            static const int64_t offsets[] = {0, 4999, 5000, 5001, -5000, -5001, 4000, 6000, 30000};
            int64_t ms = src.duration * 1000 + offsets[g.pick(9)];
            playlist.push_back(stream(title, artist, ms));
        } else {
            std::string title = g.chance(0.5) ? g.title() : g.nonsense() + " " + g.nonsense();
            std::string artist = g.chance(0.5) ? g.artist() : g.nonsense();
            playlist.push_back(stream(title, artist, 1000 * (30 + g.pick(400)) + g.pick(1000)));
        }
    }

    auto entries = Engine::buildIndex(library);
    LibraryMatchIndex index(entries);
    auto parallel = index.matchAll(playlist, 2);
    // Built from the tracks directly, matching on 3 threads.
    LibraryMatchIndex fromTracks(library);
    auto fromTracksResults = fromTracks.matchAll(playlist, 3);
    std::map<Kind, int> kinds;
    for (std::size_t i = 0; i < playlist.size(); ++i) {
        auto brute = Engine::match(playlist[i], entries);
        auto indexed = index.match(playlist[i]);
        std::string what = playlist[i].title + " / " + playlist[i].artist;
        expectSame(brute, indexed, what);
        expectSame(brute, parallel[i], what);
        expectSame(brute, fromTracksResults[i], what);
        ++kinds[brute.status.kind];
        if (::testing::Test::HasFailure()) break;
    }
    // The generated playlist reaches every outcome, and the bound does its work.
    std::cout << "notFound " << kinds[Kind::notFound] << ", fuzzy " << kinds[Kind::fuzzyMatch] << ", multiple "
              << kinds[Kind::multipleMatches] << ", entries scored " << index.scoredEntries() << " of "
              << 2 * playlist.size() * entries.size() << "\n";
    EXPECT_GT(kinds[Kind::notFound], 300);
    EXPECT_GT(kinds[Kind::fuzzyMatch], 300);
    EXPECT_GT(kinds[Kind::multipleMatches], 100);
    EXPECT_LT(index.scoredEntries(), playlist.size() * entries.size() / 4);
}
