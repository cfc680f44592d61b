#pragma once
// Builders of analysis files with the section layout rekordbox writes, for tests and benchmarks.
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cdjlink/CDJBytes.hpp"

namespace fv::cdj::anlztest {


inline void put32(Bytes& b, uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
}
inline void put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}

// A section: tag, header length, total length, then the rest of the header and the data.
inline Bytes section(const std::string& tag, const Bytes& headerRest, const Bytes& data) {
    Bytes s(tag.begin(), tag.end());
    put32(s, static_cast<uint32_t>(12 + headerRest.size()));
    put32(s, static_cast<uint32_t>(12 + headerRest.size() + data.size()));
    s.insert(s.end(), headerRest.begin(), headerRest.end());
    s.insert(s.end(), data.begin(), data.end());
    return s;
}

// "PMAI", a 0x1c-byte file header, then the sections.
inline Bytes anlzFile(const std::vector<Bytes>& sections) {
    Bytes f{'P', 'M', 'A', 'I'};
    put32(f, 0x1c);
    size_t total = 0x1c;
    for (const auto& s : sections) total += s.size();
    put32(f, static_cast<uint32_t>(total));
    f.resize(0x1c, 0);
    for (const auto& s : sections) f.insert(f.end(), s.begin(), s.end());
    return f;
}

// PWAV / PWV2: entry count at 12, an unknown word at 16, data at 20.
inline Bytes previewSection(const std::string& tag, uint32_t count, const Bytes& data) {
    Bytes h;
    put32(h, count);
    put32(h, 0x00100000);
    return section(tag, h, data);
}

inline Bytes pwv3(uint32_t entrySize, uint32_t count, const Bytes& data) {
    Bytes h;
    put32(h, entrySize);
    put32(h, count);
    put32(h, 0x00960000);
    return section("PWV3", h, data);
}

inline Bytes pqtz(uint32_t beats, const std::vector<std::array<uint32_t, 3>>& entries) {
    Bytes h;
    put32(h, 0);
    put32(h, 0x00800000);
    put32(h, beats);
    Bytes d;
    for (const auto& e : entries) {
        put16(d, static_cast<uint16_t>(e[0]));
        put16(d, static_cast<uint16_t>(e[1]));
        put32(d, e[2]);
    }
    return section("PQTZ", h, d);
}

// One PCP2 entry (len_header 0x10); the comment and colour bytes as far as `cut` allows.
inline Bytes pcp2(uint32_t hotCue, uint8_t type, uint32_t time, uint32_t loop, uint8_t colorId, std::u16string comment,
           uint8_t colorCode, size_t cut = SIZE_MAX) {
    Bytes e{'P', 'C', 'P', '2'};
    put32(e, 0x10);
    put32(e, 0);  // length, set below
    put32(e, hotCue);
    e.push_back(type);
    e.insert(e.end(), {0x00, 0x03, 0xe8});
    put32(e, time);
    put32(e, loop);
    e.push_back(colorId);
    e.insert(e.end(), {1, 0, 0, 0, 0, 0, 0});
    put16(e, 0);
    put16(e, 0);
    uint32_t commentBytes = comment.empty() ? 0 : static_cast<uint32_t>((comment.size() + 1) * 2);
    put32(e, commentBytes);
    if (!comment.empty()) {
        for (char16_t c : comment) put16(e, c);
        put16(e, 0);
    }
    e.insert(e.end(), {colorCode, 0x11, 0x22, 0x33});
    e.resize(e.size() + 20, 0);
    if (cut < e.size()) e.resize(cut);
    Bytes len;
    put32(len, static_cast<uint32_t>(e.size()));
    std::copy(len.begin(), len.end(), e.begin() + 8);
    return e;
}

inline Bytes pco2(uint32_t type, const std::vector<Bytes>& entries) {
    Bytes h;
    put32(h, type);
    put16(h, static_cast<uint16_t>(entries.size()));
    put16(h, 0);
    Bytes d;
    for (const auto& e : entries) d.insert(d.end(), e.begin(), e.end());
    return section("PCO2", h, d);
}

inline void writeBytes(const std::filesystem::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), static_cast<long>(b.size()));
}

inline uint32_t le32(const Bytes& b, size_t at) {
    return uint32_t{b[at]} | uint32_t{b[at + 1]} << 8 | uint32_t{b[at + 2]} << 16 | uint32_t{b[at + 3]} << 24;
}
inline uint16_t le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }


}  // namespace fv::cdj::anlztest
