#include "djsoftware/SeratoFiles.hpp"

#include "djsoftware/TextCodec.hpp"

namespace fv {

namespace {

uint32_t be32(std::string_view b, size_t at) {
    return uint32_t(static_cast<unsigned char>(b[at])) << 24 | uint32_t(static_cast<unsigned char>(b[at + 1])) << 16 |
           uint32_t(static_cast<unsigned char>(b[at + 2])) << 8 | uint32_t(static_cast<unsigned char>(b[at + 3]));
}

void putField(std::string& out, std::string_view tag, std::string_view value) {
    out += tag;
    uint32_t n = uint32_t(value.size());
    out += char(n >> 24);
    out += char(n >> 16);
    out += char(n >> 8);
    out += char(n);
    out += value;
}

// Control characters at either end are padding, not part of a path or name.
std::string trimControl(std::string s) {
    auto isControl = [](unsigned char c) { return c < 0x20 || c == 0x7F; };
    size_t b = 0, e = s.size();
    while (b < e && isControl(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && isControl(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

}  // namespace

std::string seratoCrateBytes(const std::vector<std::string>& paths) {
    std::string out;
    putField(out, "vrsn", *utf8ToUtf16BE(seratoCrateVersion));
    for (const auto& p : paths) {
        auto encoded = utf8ToUtf16BE(p);
        if (!encoded || encoded->empty()) continue;
        std::string ptrk;
        putField(ptrk, "ptrk", *encoded);
        putField(out, "otrk", ptrk);
    }
    return out;
}

std::vector<std::string> seratoCratePaths(std::string_view bytes, const std::string& what) {
    if (bytes.size() < 8 || bytes.substr(0, 4) != "vrsn" || be32(bytes, 4) > bytes.size() - 8)
        throw SeratoFileError(what + " ist keine Serato-Crate oder beschädigt");
    std::vector<std::string> paths;
    for (size_t at = bytes.find("ptrk"); at != std::string_view::npos; at = bytes.find("ptrk", at + 1)) {
        if (at + 8 > bytes.size()) break;
        uint32_t n = be32(bytes, at + 4);
        if (n == 0 || n > bytes.size() - at - 8) continue;
        auto text = utf16BEToUtf8(bytes.substr(at + 8, n));
        // The scan goes on after the value: a path's own bytes may spell "ptrk".
        size_t next = at + 8 + n - 1;
        if (text) {
            std::string path = trimControl(*text);
            if (!path.empty()) paths.push_back(std::move(path));
        }
        at = next;
    }
    return paths;
}

std::optional<std::string> seratoFindTextField(std::string_view bytes, uint32_t tag) {
    for (size_t at = 0; at + 8 <= bytes.size(); ++at) {
        if (be32(bytes, at) != tag) continue;
        size_t n = be32(bytes, at + 4);
        std::string_view value = bytes.substr(at + 8, std::min(n, bytes.size() - at - 8));
        auto text = utf16BEToUtf8(value);
        if (!text) return std::nullopt;
        return trimControl(*text);
    }
    return std::nullopt;
}

std::optional<SeratoPlayed> seratoLastPlayed(std::string_view sessionBytes) {
    size_t at = sessionBytes.rfind("oent");
    if (at == std::string_view::npos) return std::nullopt;
    std::string_view entry = sessionBytes.substr(at);
    auto title = seratoFindTextField(entry, 6);
    if (!title || title->empty()) return std::nullopt;
    return SeratoPlayed{*title, seratoFindTextField(entry, 7).value_or("")};
}

}  // namespace fv
