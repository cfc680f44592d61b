// Matching a streaming playlist against a large library: scoring every library track (the reference)
// against the inverted title-bigram index with its exact bound, in the same run on the same data.
#include <cctype>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "djsoftware/PlaylistMatchingEngine.hpp"

using Clock = std::chrono::steady_clock;
using namespace fv;

namespace {

// Title words drawn with a skewed (Zipf-like) frequency, the way a few words ("love", "night",
// "the") dominate real titles; artists from first and last names, band and DJ names.
const char* const titleWords[] = {
    "love", "you", "me", "the", "night", "baby", "my", "heart", "dance", "i", "a", "in", "of", "to", "your",
    "on", "it", "we", "all", "feel", "like", "time", "go", "life", "let", "light", "up", "world", "just",
    "one", "girl", "don't", "fire", "summer", "way", "home", "never", "can't", "dream", "free", "good",
    "tonight", "music", "forever", "back", "tell", "what", "little", "stay", "party", "away", "down", "rain",
    "sun", "remember", "everything", "together", "beautiful", "alone", "body", "crazy", "sky", "young",
    "wild", "run", "fall", "high", "lost", "gold", "blue", "black", "city", "lights", "star", "stars", "moon",
    "river", "ocean", "road", "street", "dreams", "shadow", "angel", "devil", "paradise", "heaven", "kiss",
    "lover", "hold", "wanna", "gonna", "feeling", "better", "tomorrow", "yesterday", "today", "morning",
    "midnight", "sweet", "honey", "sugar", "money", "power", "freedom", "rhythm", "groove", "bass", "beat",
    "drop", "house", "techno", "disco", "funk", "soul", "jazz", "rock", "roll", "boogie", "shake", "move",
    "jump", "fly", "higher", "deeper", "closer", "faster", "stronger", "harder", "louder", "wonderful",
    "wonderland", "california", "berlin", "paris", "london", "tokyo", "ibiza", "miami", "rio", "havana",
    "liebe", "nacht", "tanz", "herz", "sommer", "traum", "für", "immer", "ich", "du", "wir", "und", "mit",
    "über", "schön", "mädchen", "straße", "grüße", "fröhlich", "allein", "zusammen", "morgen", "heute",
    "amor", "corazón", "noche", "vida", "fuego", "bailar", "mi", "te", "quiero", "loco", "bonita", "fiesta",
    "amour", "nuit", "soleil", "coeur", "toujours", "jamais", "reine", "danse", "fou", "belle", "ciel",
    "electric", "cosmic", "digital", "neon", "velvet", "crystal", "silver", "golden", "purple", "scarlet",
    "thunder", "storm", "wind", "ice", "snow", "desert", "island", "jungle", "garden", "mountain", "valley",
    "secret", "mystery", "magic", "promise", "memory", "story", "letter", "message", "signal", "echo",
    "zero", "one", "two", "three", "seven", "nine", "ten", "hundred", "thousand", "million", "2", "4", "99",
    "1999", "2000", "2024", "x", "ooh", "la", "na", "oh", "yeah", "hey", "whoa", "uh", "ah"};
const char* const firstNames[] = {
    "John", "Paul", "Anna", "Maria", "David", "Sarah", "Michael", "Laura", "Chris", "Emma", "Daniel", "Lisa",
    "Peter", "Julia", "Thomas", "Sophie", "Martin", "Nina", "Alex", "Lena", "Max", "Mia", "Felix", "Lea",
    "Jonas", "Hannah", "Luca", "Clara", "Marco", "Elena", "Carlos", "Lucia", "Pierre", "Camille", "Jean",
    "Louise", "Kenji", "Yuki", "Olu", "Amara", "Ravi", "Priya", "Sven", "Ingrid", "Björn", "Åsa", "Jörg",
    "Jürgen", "Zoë", "Noël", "Ana", "Luis", "Kevin", "Jessica", "Ryan", "Ashley", "Tyler", "Megan"};
const char* const lastNames[] = {
    "Smith", "Johnson", "Brown", "Miller", "Davis", "Garcia", "Martinez", "Wilson", "Anderson", "Taylor",
    "Thomas", "Moore", "Jackson", "Martin", "Lee", "Harris", "Clark", "Lewis", "Walker", "Hall", "Young",
    "King", "Wright", "Lopez", "Hill", "Scott", "Green", "Adams", "Baker", "Nelson", "Müller", "Schmidt",
    "Schneider", "Fischer", "Weber", "Meyer", "Wagner", "Becker", "Schulz", "Hoffmann", "Koch", "Richter",
    "Klein", "Wolf", "Schröder", "Neumann", "Schwarz", "Zimmermann", "Braun", "Krüger", "Dubois", "Moreau",
    "Laurent", "Simon", "Michel", "Rossi", "Russo", "Ferrari", "Esposito", "Bianchi", "Romano", "Tanaka",
    "Suzuki", "Sato", "Okafor", "Mensah", "Patel", "Singh", "Kumar", "Andersson", "Johansson", "Nilsson"};
const char* const bandWords[] = {"Night", "Electric", "Golden", "Black", "Silver", "Crystal", "Velvet", "Neon",
                                 "Wolves", "Tigers", "Brothers", "Sisters", "Machine", "Collective", "Project",
                                 "Sound", "System", "Orchestra", "Club", "Kids", "Riders", "Dreamers", "Lights"};

// Made-up words that read like the real ones: a letter chain learnt from the word lists above.
class WordMaker {
public:
    explicit WordMaker(std::mt19937& rng) : rng_(rng) {
        auto learn = [&](const char* w) {
            std::string s = std::string("^") + w + "$";
            for (std::size_t i = 0; i + 1 < s.size(); ++i) {
                auto a = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(s[i])));
                auto b = static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(s[i + 1])));
                next_[a].push_back(static_cast<char>(b));
            }
        };
        for (const char* w : titleWords) learn(w);
        for (const char* w : firstNames) learn(w);
        for (const char* w : lastNames) learn(w);
    }
    std::string make() {
        for (;;) {
            std::string w;
            unsigned char c = '^';
            while (w.size() < 12) {
                const auto& options = next_[c];
                char n = options[rng_() % options.size()];
                if (n == '$') break;
                w.push_back(n);
                c = static_cast<unsigned char>(n);
            }
            if (w.size() >= 2) return w;
        }
    }

private:
    std::mt19937& rng_;
    std::vector<char> next_[256];
};

struct Words {
    std::mt19937 rng{7};
    std::vector<std::string> vocab, surnames;
    std::discrete_distribution<std::size_t> titleDist;
    Words() {
        WordMaker maker(rng);
        for (const char* w : titleWords) vocab.push_back(w);
        while (vocab.size() < 20000) vocab.push_back(maker.make());
        for (const char* w : lastNames) surnames.push_back(w);
        while (surnames.size() < 8000) {
            std::string n = maker.make();
            n[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(n[0])));
            surnames.push_back(n);
        }
        std::vector<double> weights;
        for (std::size_t i = 0; i < vocab.size(); ++i) weights.push_back(1.0 / static_cast<double>(i + 2));
        titleDist = std::discrete_distribution<std::size_t>(weights.begin(), weights.end());
    }
    template <typename T, std::size_t N>
    const char* any(T (&list)[N]) { return list[rng() % N]; }
    const std::string& surname() { return surnames[rng() % surnames.size()]; }
    std::string title() {
        std::string s;
        int n = 1 + static_cast<int>(rng() % 4);
        for (int i = 0; i < n; ++i) s += (i ? " " : "") + vocab[titleDist(rng)];
        s[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[0])));
        return s;
    }
    std::string artist() {
        switch (rng() % 6) {
            case 0: return std::string("The ") + any(bandWords) + " " + surname();
            case 1: return std::string("DJ ") + surname();
            case 2: return std::string(any(firstNames)) + " " + surname() + " & " + any(firstNames) + " " + surname();
            default: return std::string(any(firstNames)) + " " + surname();
        }
    }
};

RekordboxTrack libraryTrack(Words& w, int i) {
    static const char* extras[] = {"", "", "", " (Extended Mix)", " (Radio Edit)", " [Remix]", " feat. Someone"};
    RekordboxTrack t;
    t.id = std::to_string(i);
    t.title = w.title() + extras[w.rng() % std::size(extras)];
    t.artist = w.artist();
    t.duration = 120 + static_cast<int64_t>(w.rng() % 300);
    t.djSource = "bench";
    return t;
}

bool same(const PlaylistMatchResult& a, const PlaylistMatchResult& b) {
    if (a.status.kind != b.status.kind || a.status.score != b.status.score) return false;
    if (a.status.track.has_value() != b.status.track.has_value()) return false;
    if (a.status.track && a.status.track->id != b.status.track->id) return false;
    if (a.status.candidates.size() != b.status.candidates.size()) return false;
    for (std::size_t i = 0; i < a.status.candidates.size(); ++i) {
        const auto &x = a.status.candidates[i], &y = b.status.candidates[i];
        if (x.track.id != y.track.id || x.score != y.score || x.matchReason != y.matchReason) return false;
    }
    return a.confirmedTrack.has_value() == b.confirmedTrack.has_value();
}

}  // namespace



int main() {
    const int libraryCount = 100000, playlistCount = 1000;
    Words w;
    std::vector<RekordboxTrack> library;
    for (int i = 0; i < libraryCount; ++i) library.push_back(libraryTrack(w, i));
    // Two thirds of the playlist is in the library (retitled, re-timed), the rest is not.
    std::vector<SpotifyTrack> playlist;
    for (int i = 0; i < playlistCount; ++i) {
        SpotifyTrack s;
        s.id = "sp" + std::to_string(i);
        if (i % 3 != 2) {
            const auto& src = library[w.rng() % library.size()];
            s.title = i % 3 == 0 ? src.title : src.title + " (Original Mix)";
            s.artist = src.artist;
            s.durationMs = src.duration * 1000 + static_cast<int64_t>(w.rng() % 9000) - 4000;
        } else {
            s.title = w.title();
            s.artist = w.artist();
            s.durationMs = 1000 * (120 + static_cast<int64_t>(w.rng() % 300));
        }
        playlist.push_back(s);
    }

    auto t0 = Clock::now();
    auto entries = PlaylistMatchingEngine::buildIndex(library);
    auto t1 = Clock::now();
    std::vector<PlaylistMatchResult> brute;
    brute.reserve(playlist.size());
    for (const auto& s : playlist) brute.push_back(PlaylistMatchingEngine::match(s, entries));
    auto t2 = Clock::now();
    LibraryMatchIndex index(std::move(entries));
    auto t3 = Clock::now();
    unsigned threads = std::max(1u, std::min(2u, std::thread::hardware_concurrency()));
    auto indexed = index.matchAll(playlist, threads);
    auto t4 = Clock::now();
    auto entriesAgain = PlaylistMatchingEngine::buildIndex(library);
    auto t5 = Clock::now();
    LibraryMatchIndex single(std::move(entriesAgain));
    auto t6 = Clock::now();
    auto indexedOne = single.matchAll(playlist, 1);
    auto t7 = Clock::now();

    std::size_t differences = 0, found = 0;
    for (std::size_t i = 0; i < playlist.size(); ++i) {
        if (!same(brute[i], indexed[i]) || !same(brute[i], indexedOne[i])) ++differences;
        if (brute[i].status.kind != MatchStatus::Kind::notFound) ++found;
    }
    auto ms = [](auto a, auto b) { return std::chrono::duration<double, std::milli>(b - a).count(); };
    double bruteMs = ms(t1, t2), indexMs = ms(t2, t3) + ms(t3, t4), oneMs = ms(t5, t6) + ms(t6, t7);
    std::printf("matching %d streaming tracks against %d library tracks (%zu with candidates)\n", playlistCount,
                libraryCount, found);
    std::printf("  prepare library entries:                %9.1f ms\n", ms(t0, t1));
    std::printf("  every library track scored:             %9.1f ms\n", bruteMs);
    std::printf("  index build + match, %u thread(s):      %9.1f ms  (ratio %.1fx)\n", threads, indexMs, bruteMs / indexMs);
    std::printf("  index build + match, 1 matching thread: %9.1f ms  (ratio %.1fx)\n", oneMs, bruteMs / oneMs);
    std::printf("    of which index build:                 %9.1f ms / %9.1f ms\n", ms(t2, t3), ms(t5, t6));
    std::printf("  entries scored after the bound:         %zu of %zu (%.3f%%)\n", single.scoredEntries(),
                static_cast<std::size_t>(playlistCount) * libraryCount,
                100.0 * static_cast<double>(single.scoredEntries()) / (double(playlistCount) * libraryCount));
    std::printf("  results identical:                      %s (%zu differences)\n", differences ? "NO" : "yes", differences);
    return differences ? 1 : 0;
}
