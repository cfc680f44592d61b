// Feeds arbitrary bytes as an analysis file to the section reader and every payload built from it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "cdjlink/CDJAnlz.hpp"

using namespace fv::cdj;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto sections = parseAnlzSections(std::span<const uint8_t>(data, size));
    size_t total = 0;
    for (const auto& s : sections) {
        if (s.fourcc.size() != 4 || s.bytes.size() < 12) std::abort();
        total += s.bytes.size();
    }
    if (total > size) std::abort();

    if (auto p = anlzWaveformPreview(sections); p && p->size() != anlzPreviewBytes) std::abort();
    if (auto d = anlzWaveformDetail(sections); d && d->empty()) std::abort();
    if (auto g = anlzBeatGrid(sections); g && g->bytes.size() != 20 + size_t{16} * g->beats) std::abort();
    auto cues = cuePointsFromAnlz(sections);
    if (encodeCueEntries(cues).size() != cues.size() * cueEntryBytes) std::abort();
    for (const auto& c : cues) (void)hotCueColor(c.colorIndex);
    (void)findAnlzSection(sections, "PCO2");
    return 0;
}
