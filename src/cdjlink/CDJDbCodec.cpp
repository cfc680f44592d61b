#include "cdjlink/CDJDbCodec.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>

#include "core/Utf8.hpp"

namespace fv::cdj {

namespace {

void pushBE16(Bytes& out, uint16_t v) {
    size_t at = out.size();
    out.resize(at + 2);
    writeBE16(out, at, v);
}

void pushBE32(Bytes& out, uint32_t v) {
    size_t at = out.size();
    out.resize(at + 4);
    writeBE32(out, at, v);
}

void pushNumberField(Bytes& out, uint32_t v) {
    out.push_back(dbfield::num4);
    pushBE32(out, v);
}

void pushStringField(Bytes& out, std::string_view text, bool wrapped) {
    std::u16string units = utf8ToUtf16(text);
    bool markers = wrapped && !units.empty();
    auto count = static_cast<uint32_t>(units.size() + 1 + (markers ? 2 : 0));
    out.push_back(dbfield::string);
    pushBE32(out, count);
    out.reserve(out.size() + size_t{count} * 2);
    if (markers) pushBE16(out, 0xfffa);
    for (char16_t u : units) pushBE16(out, u);
    if (markers) pushBE16(out, 0xfffb);
    pushBE16(out, 0);
}

bool isMessageStart(std::span<const uint8_t> b, size_t at) {
    // A new message follows instead of the argument: its magic field.
    if (at >= b.size() || b[at] != dbfield::num4) return false;
    if (b.size() - at < 5) return true;  // too short to tell; a 4-byte number field would be absent too
    return readBE32(b, at + 1) == dbMagic;
}

}  // namespace

uint32_t dbStringByteLength(std::string_view text, bool wrapped) {
    size_t units = utf8ToUtf16(text).size();
    size_t bytes = (units + 1) * 2 + (wrapped && units > 0 ? 4 : 0);
    return static_cast<uint32_t>(bytes);
}

std::optional<uint32_t> CDJDbMessage::number(size_t i) const {
    if (i < args.size() && args[i].isNumber()) return args[i].number();
    return std::nullopt;
}

const std::string* CDJDbMessage::string(size_t i) const {
    if (i < args.size() && args[i].isString()) return &args[i].string();
    return nullptr;
}

void appendDbMessage(Bytes& out, uint32_t txid, uint16_t type, const std::vector<CDJOutArg>& args) {
    if (args.size() > 255) {
        std::fprintf(stderr, "cdjlink: database message with %zu arguments\n", args.size());
        std::abort();
    }
    auto count = static_cast<uint8_t>(args.size());
    pushNumberField(out, dbMagic);
    pushNumberField(out, txid);
    out.push_back(dbfield::num2);
    pushBE16(out, type);
    out.push_back(dbfield::num1);
    out.push_back(count);
    size_t tagLen = std::max<size_t>(count, 12);
    out.push_back(dbfield::blob);
    pushBE32(out, static_cast<uint32_t>(tagLen));
    size_t tagsAt = out.size();
    out.resize(tagsAt + tagLen, 0);
    for (size_t i = 0; i < args.size(); ++i) {
        switch (args[i].kind) {
            case CDJOutArg::Kind::i32: out[tagsAt + i] = dbtag::number; break;
            case CDJOutArg::Kind::str:
            case CDJOutArg::Kind::strWrapped: out[tagsAt + i] = dbtag::string; break;
            case CDJOutArg::Kind::blob: out[tagsAt + i] = dbtag::blob; break;
        }
    }
    for (const auto& a : args) {
        switch (a.kind) {
            case CDJOutArg::Kind::i32: pushNumberField(out, a.number); break;
            case CDJOutArg::Kind::str: pushStringField(out, a.text, false); break;
            case CDJOutArg::Kind::strWrapped: pushStringField(out, a.text, true); break;
            case CDJOutArg::Kind::blob:
                out.push_back(dbfield::blob);
                pushBE32(out, static_cast<uint32_t>(a.bytes.size()));
                out.insert(out.end(), a.bytes.begin(), a.bytes.end());
                break;
        }
    }
}

Bytes encodeDbMessage(uint32_t txid, uint16_t type, const std::vector<CDJOutArg>& args) {
    Bytes out;
    appendDbMessage(out, txid, type, args);
    return out;
}

std::string formatDbArgs(const std::vector<CDJDbArg>& args) {
    std::string out;
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) out += ", ";
        const auto& a = args[i];
        if (a.isNumber()) {
            out += fmt::format("0x{:X}", a.number());
        } else if (a.isString()) {
            out += '"';
            out += a.string();
            out += '"';
        } else {
            out += fmt::format("blob({})", a.blob().size());
        }
    }
    return out;
}

void CDJDbReader::append(std::span<const uint8_t> data) {
    if (start_ > 0 && start_ >= buf_.size() / 2) {
        buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(start_));
        start_ = 0;
    }
    buf_.insert(buf_.end(), data.begin(), data.end());
}

CDJDbReader::Result CDJDbReader::next() {
    Result r = parse();
    if (std::holds_alternative<Incomplete>(r) && buffered().size() > maxMessageBytes)
        return Desync{fmt::format("Nachricht zu lang (über {} B)", maxMessageBytes)};
    return r;
}

CDJDbReader::Result CDJDbReader::parse() {
    std::span<const uint8_t> b(buf_.data() + start_, buf_.size() - start_);
    if (b.empty()) return Incomplete{};

    size_t pos = 0;
    std::optional<size_t> frameEnd;
    if (b[0] == 0) {
        if (b.size() <= 4) return Incomplete{};
        uint32_t f = readBE32(b, 0);
        if (f > maxMessageBytes) return Desync{fmt::format("Nachricht zu lang ({} B)", f)};
        if (b.size() < size_t{4} + f) return Incomplete{};
        frameEnd = size_t{4} + f;
        pos = 4;
    }
    auto have = [&](size_t n) { return b.size() >= pos && b.size() - pos >= n; };

    if (!have(1)) return Incomplete{};
    if (b[pos] == dbfield::num4) ++pos;
    if (!have(4)) return Incomplete{};
    if (readBE32(b, pos) != dbMagic) {
        size_t n = std::min<size_t>(16, b.size() - pos);
        return Desync{"Magic falsch: " + hexDump(b.subspan(pos), n)};
    }
    pos += 4;

    CDJDbMessage msg;
    if (!have(5)) return Incomplete{};
    if (b[pos] != dbfield::num4) return Desync{"txid-Feld erwartet"};
    msg.txid = readBE32(b, pos + 1);
    pos += 5;
    if (!have(3)) return Incomplete{};
    if (b[pos] != dbfield::num2) return Desync{"type-Feld erwartet"};
    msg.type = readBE16(b, pos + 1);
    pos += 3;
    if (!have(2)) return Incomplete{};
    if (b[pos] != dbfield::num1) return Desync{"argc-Feld erwartet"};
    msg.argc = b[pos + 1];
    pos += 2;
    if (!have(5)) return Incomplete{};
    if (b[pos] != dbfield::blob) return Desync{"tags-Feld erwartet"};
    uint32_t tagLen = readBE32(b, pos + 1);
    pos += 5;
    if (tagLen > maxFieldBytes) return Desync{fmt::format("Tag-Liste zu lang ({} B)", tagLen)};
    if (!have(tagLen)) return Incomplete{};
    auto tags = b.subspan(pos, tagLen);
    pos += tagLen;

    auto tagOf = [&](size_t i) -> uint8_t { return i < tags.size() ? tags[i] : 0; };
    bool allBlobs = msg.argc > 0;
    for (size_t i = 0; i < msg.argc; ++i) allBlobs = allBlobs && tagOf(i) == dbtag::blob;
    bool writeType = msg.type == 0x2705 || msg.type == 0x2805;

    // Fields are located first and decoded only once the whole message is there, so a large
    // message arriving in many segments is not copied again for every segment.
    struct Located {
        enum class Kind { number, blob, string } kind;
        uint32_t number = 0;
        size_t at = 0;
        size_t len = 0;
    };
    std::vector<Located> fields;
    fields.reserve(msg.argc);
    for (size_t i = 0; i < msg.argc; ++i) {
        if (tagOf(i) == dbtag::blob) {
            // Senders leave out a blob whose length argument is 0, and messages made only of
            // blobs often carry none: an announced blob is absent when the bytes end there or
            // the next message begins.
            bool atEnd = pos >= b.size() || (frameEnd && pos >= *frameEnd);
            bool zeroLength = i > 0 && fields.size() == i && fields.back().kind == Located::Kind::number &&
                              fields.back().number == 0;
            if ((atEnd && (zeroLength || (allBlobs && !writeType))) || isMessageStart(b, pos)) continue;
        }
        if (!have(1)) return Incomplete{};
        uint8_t ft = b[pos];
        switch (ft) {
            case dbfield::num1:
            case 0x04:
                if (!have(2)) return Incomplete{};
                fields.push_back({Located::Kind::number, b[pos + 1]});
                pos += 2;
                break;
            case dbfield::num2:
            case 0x05:
                if (!have(3)) return Incomplete{};
                fields.push_back({Located::Kind::number, readBE16(b, pos + 1)});
                pos += 3;
                break;
            case dbfield::num4:
            case 0x06:
                if (!have(5)) return Incomplete{};
                fields.push_back({Located::Kind::number, readBE32(b, pos + 1)});
                pos += 5;
                break;
            case dbfield::blob:
            case 0x03: {
                if (!have(5)) return Incomplete{};
                uint32_t n = readBE32(b, pos + 1);
                if (n > maxFieldBytes) return Desync{fmt::format("Blob zu lang ({} B)", n)};
                if (!have(size_t{5} + n)) return Incomplete{};
                fields.push_back({Located::Kind::blob, 0, pos + 5, n});
                pos += 5 + size_t{n};
                break;
            }
            case dbfield::string:
            case 0x02: {
                if (!have(5)) return Incomplete{};
                uint32_t count = readBE32(b, pos + 1);
                uint64_t bytes = uint64_t{count} * 2;
                if (bytes > maxFieldBytes) return Desync{fmt::format("Text zu lang ({} Zeichen)", count)};
                if (!have(5 + bytes)) return Incomplete{};
                fields.push_back({Located::Kind::string, 0, pos + 5, static_cast<size_t>(bytes)});
                pos += 5 + bytes;
                break;
            }
            default:
                return Desync{fmt::format("unbekanntes Feld-Tag 0x{:02X} bei Typ 0x{:04X}", ft, msg.type)};
        }
    }

    msg.args.reserve(fields.size());
    for (const auto& f : fields) {
        switch (f.kind) {
            case Located::Kind::number: msg.args.push_back(CDJDbArg::n(f.number)); break;
            case Located::Kind::blob: {
                auto body = b.subspan(f.at, f.len);
                msg.args.push_back(CDJDbArg::b(Bytes(body.begin(), body.end())));
                break;
            }
            case Located::Kind::string: {
                std::u16string units;
                units.reserve(f.len / 2);
                for (size_t k = 0; k + 1 < f.len; k += 2) {
                    auto u = static_cast<char16_t>(readBE16(b, f.at + k));
                    if (u != 0) units += u;
                }
                msg.args.push_back(CDJDbArg::s(utf16ToUtf8(units)));
                break;
            }
        }
    }

    size_t end = pos;
    if (frameEnd) end = std::max(end, *frameEnd);
    start_ += end;
    if (start_ == buf_.size()) {
        buf_.clear();
        start_ = 0;
    }
    return msg;
}

CDJPortQuery parsePortQuery(std::span<const uint8_t> buffered) {
    CDJPortQuery q;
    if (buffered.size() < 4) return q;
    uint32_t len = readBE32(buffered, 0);
    if (len > maxPortQueryBytes) {
        q.state = CDJPortQuery::State::invalid;
        return q;
    }
    if (buffered.size() < size_t{4} + len) return q;
    std::string raw;
    for (uint8_t c : buffered.subspan(4, len))
        if (c != 0) raw += static_cast<char>(c);
    q.state = CDJPortQuery::State::complete;
    q.name = repairUtf8(raw);
    return q;
}

}  // namespace fv::cdj
