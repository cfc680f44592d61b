#pragma once
// The remote database wire format: typed fields, messages and the stream parser. Pure code: no
// sockets, threads or clocks, so every byte can be pinned down in tests.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "cdjlink/CDJBytes.hpp"
#include "core/Utf8.hpp"

namespace fv::cdj {

// Field type bytes.
namespace dbfield {
inline constexpr uint8_t num1 = 0x0f;
inline constexpr uint8_t num2 = 0x10;
inline constexpr uint8_t num4 = 0x11;
inline constexpr uint8_t blob = 0x14;
inline constexpr uint8_t string = 0x26;
}  // namespace dbfield

// Argument kinds in a message's tag list.
namespace dbtag {
inline constexpr uint8_t number = 0x06;
inline constexpr uint8_t string = 0x02;
inline constexpr uint8_t blob = 0x03;
}  // namespace dbtag

inline constexpr uint32_t dbMagic = 0x872349ae;
inline constexpr size_t dbGreetingSize = 5;

using fv::repairUtf8;
using fv::utf16ToUtf8;
using fv::utf8ToUtf16;

// One decoded request argument.
struct CDJDbArg {
    std::variant<uint32_t, std::string, Bytes> value;

    static CDJDbArg n(uint32_t v) { return {v}; }
    static CDJDbArg s(std::string v) { return {std::move(v)}; }
    static CDJDbArg b(Bytes v) { return {std::move(v)}; }

    bool isNumber() const { return value.index() == 0; }
    bool isString() const { return value.index() == 1; }
    bool isBlob() const { return value.index() == 2; }
    uint32_t number() const { return std::get<0>(value); }
    const std::string& string() const { return std::get<1>(value); }
    const Bytes& blob() const { return std::get<2>(value); }

    bool operator==(const CDJDbArg&) const = default;
};

// One response argument.
struct CDJOutArg {
    enum class Kind { i32, str, strWrapped, blob };
    Kind kind = Kind::i32;
    uint32_t number = 0;
    std::string text;  // UTF-8, for str and strWrapped
    Bytes bytes;       // for blob

    static CDJOutArg i32(uint32_t v) { return {Kind::i32, v, {}, {}}; }
    static CDJOutArg str(std::string v) { return {Kind::str, 0, std::move(v), {}}; }
    static CDJOutArg strWrapped(std::string v) { return {Kind::strWrapped, 0, std::move(v), {}}; }
    static CDJOutArg blob(Bytes v) { return {Kind::blob, 0, {}, std::move(v)}; }

    bool operator==(const CDJOutArg&) const = default;
};

// Bytes a string argument takes on the wire after its count: UTF-16 units including the
// terminating zero, times 2, plus 4 for the markers of a wrapped non-empty text.
uint32_t dbStringByteLength(std::string_view text, bool wrapped);

struct CDJDbMessage {
    uint32_t txid = 0;
    uint16_t type = 0;
    uint8_t argc = 0;  // as sent; args may hold fewer (absent blobs)
    std::vector<CDJDbArg> args;

    // Argument i when it is a number.
    std::optional<uint32_t> number(size_t i) const;
    const std::string* string(size_t i) const;

    bool operator==(const CDJDbMessage&) const = default;
};

// Appends one encoded message. At most 255 arguments (more is a programming error).
void appendDbMessage(Bytes& out, uint32_t txid, uint16_t type, const std::vector<CDJOutArg>& args);
Bytes encodeDbMessage(uint32_t txid, uint16_t type, const std::vector<CDJOutArg>& args);

// "0x1F, \"text\", blob(12)" as the request log shows arguments.
std::string formatDbArgs(const std::vector<CDJDbArg>& args);

// The stream parser of one session: received bytes are appended, whole messages taken off the
// front. Nothing is consumed unless a whole message is returned.
class CDJDbReader {
public:
    // The stream is out of step; the session ends.
    struct Desync {
        std::string reason;
    };
    // Not enough bytes yet; wait for more.
    struct Incomplete {};
    using Result = std::variant<CDJDbMessage, Incomplete, Desync>;

    // A single field may not claim more than this; a length beyond it is taken as a desync
    // instead of buffering. Players send short texts and at most a few KiB of cue or waveform
    // data per write request, so this leaves ample room.
    static constexpr uint32_t maxFieldBytes = 256u << 10;
    // Nor may one message (or a length-prefixed frame) hold more than this buffered.
    static constexpr size_t maxMessageBytes = 512u << 10;

    void append(std::span<const uint8_t> data);
    Result next();

    // Received bytes not yet taken off as messages.
    std::span<const uint8_t> buffered() const { return {buf_.data() + start_, buf_.size() - start_}; }

private:
    Result parse();

    Bytes buf_;
    size_t start_ = 0;  // consumed prefix of buf_, dropped lazily
};

// The port query: a 4-byte big-endian length L, then L bytes naming the service. Complete once all
// 4 + L bytes are there; the name has its zero bytes dropped and its UTF-8 repaired. A length
// beyond maxPortQueryBytes is invalid rather than buffered.
struct CDJPortQuery {
    enum class State { incomplete, complete, invalid };
    State state = State::incomplete;
    std::string name;
};
inline constexpr uint32_t maxPortQueryBytes = 4096;
CDJPortQuery parsePortQuery(std::span<const uint8_t> buffered);

}  // namespace fv::cdj
