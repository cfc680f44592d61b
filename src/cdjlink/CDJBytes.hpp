#pragma once
// Byte-order helpers for building and reading link packets. They work on fixed-length buffers
// (std::array, std::vector, any contiguous bytes); touching a byte past the end is a programming
// error, never data-driven, and aborts.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fv::cdj {

using Bytes = std::vector<uint8_t>;

namespace detail {
inline void checkRange(size_t size, size_t at, size_t n) {
    if (at > size || n > size - at) {
        std::fprintf(stderr, "cdjlink: byte access %zu+%zu past buffer of %zu\n", at, n, size);
        std::abort();
    }
}
}  // namespace detail

inline void writeBE16(std::span<uint8_t> b, size_t at, uint16_t v) {
    detail::checkRange(b.size(), at, 2);
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}

inline void writeBE32(std::span<uint8_t> b, size_t at, uint32_t v) {
    detail::checkRange(b.size(), at, 4);
    b[at] = static_cast<uint8_t>(v >> 24);
    b[at + 1] = static_cast<uint8_t>(v >> 16);
    b[at + 2] = static_cast<uint8_t>(v >> 8);
    b[at + 3] = static_cast<uint8_t>(v);
}

inline void writeLE16(std::span<uint8_t> b, size_t at, uint16_t v) {
    detail::checkRange(b.size(), at, 2);
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

inline void writeLE32(std::span<uint8_t> b, size_t at, uint32_t v) {
    detail::checkRange(b.size(), at, 4);
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
    b[at + 2] = static_cast<uint8_t>(v >> 16);
    b[at + 3] = static_cast<uint8_t>(v >> 24);
}

inline uint16_t readBE16(std::span<const uint8_t> b, size_t at) {
    detail::checkRange(b.size(), at, 2);
    return static_cast<uint16_t>((b[at] << 8) | b[at + 1]);
}

inline uint32_t readBE32(std::span<const uint8_t> b, size_t at) {
    detail::checkRange(b.size(), at, 4);
    return (uint32_t{b[at]} << 24) | (uint32_t{b[at + 1]} << 16) | (uint32_t{b[at + 2]} << 8) | uint32_t{b[at + 3]};
}

inline uint16_t readLE16(std::span<const uint8_t> b, size_t at) {
    detail::checkRange(b.size(), at, 2);
    return static_cast<uint16_t>(b[at] | (b[at + 1] << 8));
}

inline uint32_t readLE32(std::span<const uint8_t> b, size_t at) {
    detail::checkRange(b.size(), at, 4);
    return uint32_t{b[at]} | (uint32_t{b[at + 1]} << 8) | (uint32_t{b[at + 2]} << 16) | (uint32_t{b[at + 3]} << 24);
}

// Zeroes the field, then copies at most `width` bytes of the UTF-8 text (truncating, no terminator
// beyond the zero fill).
inline void writeFixedText(std::span<uint8_t> b, size_t at, size_t width, std::string_view text) {
    detail::checkRange(b.size(), at, width);
    std::memset(b.data() + at, 0, width);
    std::memcpy(b.data() + at, text.data(), text.size() < width ? text.size() : width);
}

// The first n bytes as "%02x", separated by single spaces.
inline std::string hexDump(std::span<const uint8_t> b, size_t n) {
    if (n > b.size()) n = b.size();
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(n * 3);
    for (size_t i = 0; i < n; ++i) {
        if (i) out += ' ';
        out += digits[b[i] >> 4];
        out += digits[b[i] & 0x0f];
    }
    return out;
}

}  // namespace fv::cdj
