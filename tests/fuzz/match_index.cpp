// The indexed matcher against scoring every library track: a small library and a few streaming
// tracks made from the input must give the same result rows, score for score. Texts are either
// raw bytes (broken UTF-8 included) or drawn from a tiny alphabet, so repeated bigrams, near ties
// and durations around the 5 s edge come up often.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "djsoftware/PlaylistMatchingEngine.hpp"

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    size_t at = 0;
    uint8_t byte() { return at < size ? data[at++] : 0; }
    std::string text() {
        const uint8_t head = byte();
        const size_t length = head % 24;
        std::string s;
        for (size_t i = 0; i < length; ++i) {
            const uint8_t b = byte();
            static const char* const alphabet[] = {"a", "a", "b", " ", " ", "n", "A", "&", "(", "ö"};
            if (head & 0x80)
                s += alphabet[b % 10];
            else
                s.push_back(static_cast<char>(b));
        }
        return s;
    }
};

bool same(const fv::PlaylistMatchResult& a, const fv::PlaylistMatchResult& b) {
    if (a.status.kind != b.status.kind || a.status.score != b.status.score) return false;
    if (a.status.track.has_value() != b.status.track.has_value()) return false;
    if (a.status.track && a.status.track->id != b.status.track->id) return false;
    if (a.status.candidates.size() != b.status.candidates.size()) return false;
    for (size_t i = 0; i < a.status.candidates.size(); ++i) {
        const auto &x = a.status.candidates[i], &y = b.status.candidates[i];
        if (x.track.id != y.track.id || x.score != y.score || x.matchReason != y.matchReason) return false;
    }
    return a.confirmedTrack.has_value() == b.confirmedTrack.has_value();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    std::vector<fv::RekordboxTrack> library;
    const int count = 1 + in.byte() % 40;
    for (int i = 0; i < count && in.at < size; ++i) {
        fv::RekordboxTrack t;
        t.id = std::to_string(i);
        t.title = in.text();
        t.artist = in.text();
        t.duration = 100 + in.byte() % 16;
        library.push_back(std::move(t));
    }
    auto entries = fv::PlaylistMatchingEngine::buildIndex(library);
    fv::LibraryMatchIndex index(entries);
    for (int i = 0; i < 8 && in.at < size; ++i) {
        fv::SpotifyTrack s;
        s.id = "s" + std::to_string(i);
        s.title = in.text();
        s.artist = in.text();
        s.durationMs = (100 + in.byte() % 16) * 1000 + (in.byte() % 5) * 500 - 1000;
        if (!same(fv::PlaylistMatchingEngine::match(s, entries), index.match(s))) __builtin_trap();
    }
    return 0;
}
