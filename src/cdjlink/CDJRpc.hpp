#pragma once
// ONC RPC (version 2) message codec with XDR primitives and TCP record marking.
// Pure code: no sockets, clocks or threads.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace fv::cdj {

using RpcBytes = std::vector<uint8_t>;
using RpcByteView = std::span<const uint8_t>;

inline constexpr uint32_t kRpcPortmapProgram = 100000;
inline constexpr uint32_t kRpcNfsProgram = 100003;
inline constexpr uint32_t kRpcMountProgram = 100005;

// Appends XDR items (4-byte big-endian words, opaque data zero-padded to a multiple of 4).
class XdrWriter {
public:
    XdrWriter() = default;
    explicit XdrWriter(size_t reserve) { bytes_.reserve(reserve); }

    void u32(uint32_t v);
    void boolean(bool v) { u32(v ? 1 : 0); }
    // Fixed-length opaque: the bytes and their padding, no length word.
    void fixedOpaque(RpcByteView data);
    // Variable-length opaque / string: length word, bytes, padding.
    void opaque(RpcByteView data);
    void string(std::string_view text);

    // Reserves a variable-length opaque of up to maxLen bytes to be filled in place; finish with
    // commitOpaque(actual), which writes the length and the padding.
    uint8_t* beginOpaque(size_t maxLen);
    void commitOpaque(size_t actualLen);

    size_t size() const { return bytes_.size(); }
    const RpcBytes& bytes() const& { return bytes_; }
    RpcBytes take() { return std::move(bytes_); }

private:
    RpcBytes bytes_;
    size_t pendingOpaque_ = 0;  // offset of the length word of an open beginOpaque
};

// Reads XDR items from a byte view. Failure is sticky: once an item runs past the end (or exceeds
// its limit), every later read returns an empty value and ok() stays false.
class XdrReader {
public:
    explicit XdrReader(RpcByteView data) : data_(data) {}

    uint32_t u32();
    RpcByteView fixedOpaque(size_t len);
    RpcByteView opaque(size_t maxLen);
    std::string string(size_t maxLen);

    bool ok() const { return ok_; }
    size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }
    RpcByteView rest() const { return ok_ ? data_.subspan(pos_) : RpcByteView{}; }

private:
    bool take(size_t n);
    RpcByteView data_;
    size_t pos_ = 0;
    bool ok_ = true;
};

struct RpcCall {
    uint32_t xid = 0;
    uint32_t rpcVersion = 0;
    uint32_t program = 0;
    uint32_t version = 0;
    uint32_t procedure = 0;
    uint32_t credFlavor = 0;
    RpcByteView cred;
    uint32_t verfFlavor = 0;
    RpcByteView verf;
    RpcByteView args;  // the procedure's arguments: a view into the message
};

// Parses a call message. Anything that is not a call, is shorter than the 40 bytes of a call with
// empty credentials, or whose credential or verifier runs past the end yields nothing.
std::optional<RpcCall> parseRpcCall(RpcByteView message);

enum class RpcAcceptStat : uint32_t {
    success = 0,
    progUnavail = 1,
    progMismatch = 2,
    procUnavail = 3,
    garbageArgs = 4,
    systemErr = 5,
};

// Starts an accepted reply: xid, REPLY, MSG_ACCEPTED, an empty AUTH_NULL verifier, the status.
// For `success` the caller appends the procedure's result.
XdrWriter rpcAcceptedReply(uint32_t xid, RpcAcceptStat stat = RpcAcceptStat::success, size_t reserve = 64);
// Accepted reply with PROG_MISMATCH and the supported version range.
RpcBytes rpcProgMismatchReply(uint32_t xid, uint32_t low, uint32_t high);
// Denied reply with RPC_MISMATCH (only RPC version 2 is spoken).
RpcBytes rpcVersionMismatchReply(uint32_t xid);

// Builds the call message for a client (tests, benchmark): AUTH_NULL credential and verifier.
RpcBytes rpcCallMessage(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure, RpcByteView args);

// TCP record marking: one fragment, last-fragment bit set.
RpcBytes rpcRecordFrame(RpcByteView message);

// Collects TCP bytes into complete records (one or more fragments each). A record whose total
// length would exceed the limit poisons the stream: the caller should close the connection.
class RpcRecordAssembler {
public:
    explicit RpcRecordAssembler(size_t maxRecord = kDefaultMaxRecord) : maxRecord_(maxRecord) {}
    static constexpr size_t kDefaultMaxRecord = 256 * 1024;

    // Appends received bytes and moves every completed record into `out`. Returns false once the
    // stream is unusable (oversized record); nothing more is produced after that.
    bool feed(RpcByteView data, std::vector<RpcBytes>& out);
    bool failed() const { return failed_; }
    // RpcBytes held that do not yet form a complete record.
    size_t pending() const { return buffer_.size() - consumed_ + record_.size(); }

private:
    size_t maxRecord_;
    RpcBytes buffer_;  // raw stream bytes not yet consumed
    size_t consumed_ = 0;
    RpcBytes record_;  // fragments of the record in progress
    bool failed_ = false;
};

}  // namespace fv::cdj
