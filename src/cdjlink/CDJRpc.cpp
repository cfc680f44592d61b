#include "cdjlink/CDJRpc.hpp"

#include <cassert>
#include <cstring>

namespace fv::cdj {

namespace {

constexpr uint32_t kMsgCall = 0;
constexpr uint32_t kMsgReply = 1;
constexpr uint32_t kMsgAccepted = 0;
constexpr uint32_t kMsgDenied = 1;
constexpr uint32_t kRejectRpcMismatch = 0;
constexpr uint32_t kAuthNull = 0;
constexpr size_t kMaxAuthBytes = 400;  // RFC 5531: opaque_auth body<400>
constexpr size_t kMinCallBytes = 40;   // ten words: header and two empty AUTH_NULL blocks
constexpr uint32_t kLastFragment = 0x80000000u;

uint32_t loadBE32(const uint8_t* p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void storeBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

size_t padded(size_t n) { return (n + 3) & ~size_t{3}; }

}  // namespace

// --- XdrWriter

void XdrWriter::u32(uint32_t v) {
    const size_t at = bytes_.size();
    bytes_.resize(at + 4);
    storeBE32(bytes_.data() + at, v);
}

void XdrWriter::fixedOpaque(RpcByteView data) {
    const size_t at = bytes_.size();
    bytes_.resize(at + padded(data.size()), 0);
    if (!data.empty()) std::memcpy(bytes_.data() + at, data.data(), data.size());
}

void XdrWriter::opaque(RpcByteView data) {
    u32(static_cast<uint32_t>(data.size()));
    fixedOpaque(data);
}

void XdrWriter::string(std::string_view text) {
    opaque(RpcByteView(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

uint8_t* XdrWriter::beginOpaque(size_t maxLen) {
    pendingOpaque_ = bytes_.size();
    bytes_.resize(pendingOpaque_ + 4 + padded(maxLen));
    return bytes_.data() + pendingOpaque_ + 4;
}

void XdrWriter::commitOpaque(size_t actualLen) {
    assert(pendingOpaque_ + 4 + actualLen <= bytes_.size());
    storeBE32(bytes_.data() + pendingOpaque_, static_cast<uint32_t>(actualLen));
    const size_t end = pendingOpaque_ + 4 + padded(actualLen);
    bytes_.resize(end);
    std::fill(bytes_.begin() + static_cast<std::ptrdiff_t>(pendingOpaque_ + 4 + actualLen), bytes_.end(), 0);
}

// --- XdrReader

bool XdrReader::take(size_t n) {
    if (!ok_ || n > data_.size() - pos_) {
        ok_ = false;
        return false;
    }
    return true;
}

uint32_t XdrReader::u32() {
    if (!take(4)) return 0;
    const uint32_t v = loadBE32(data_.data() + pos_);
    pos_ += 4;
    return v;
}

RpcByteView XdrReader::fixedOpaque(size_t len) {
    const size_t total = padded(len);
    if (total < len || !take(total)) return {};
    RpcByteView v = data_.subspan(pos_, len);
    pos_ += total;
    return v;
}

RpcByteView XdrReader::opaque(size_t maxLen) {
    const uint32_t len = u32();
    if (!ok_) return {};
    if (len > maxLen) {
        ok_ = false;
        return {};
    }
    return fixedOpaque(len);
}

std::string XdrReader::string(size_t maxLen) {
    RpcByteView v = opaque(maxLen);
    return std::string(reinterpret_cast<const char*>(v.data()), v.size());
}

// --- Calls and replies

std::optional<RpcCall> parseRpcCall(RpcByteView message) {
    if (message.size() < kMinCallBytes) return std::nullopt;
    XdrReader r(message);
    RpcCall call;
    call.xid = r.u32();
    if (r.u32() != kMsgCall) return std::nullopt;
    call.rpcVersion = r.u32();
    call.program = r.u32();
    call.version = r.u32();
    call.procedure = r.u32();
    call.credFlavor = r.u32();
    call.cred = r.opaque(kMaxAuthBytes);
    call.verfFlavor = r.u32();
    call.verf = r.opaque(kMaxAuthBytes);
    if (!r.ok()) return std::nullopt;
    call.args = r.rest();
    return call;
}

XdrWriter rpcAcceptedReply(uint32_t xid, RpcAcceptStat stat, size_t reserve) {
    XdrWriter w(reserve);
    w.u32(xid);
    w.u32(kMsgReply);
    w.u32(kMsgAccepted);
    w.u32(kAuthNull);
    w.u32(0);
    w.u32(static_cast<uint32_t>(stat));
    return w;
}

RpcBytes rpcProgMismatchReply(uint32_t xid, uint32_t low, uint32_t high) {
    XdrWriter w = rpcAcceptedReply(xid, RpcAcceptStat::progMismatch);
    w.u32(low);
    w.u32(high);
    return w.take();
}

RpcBytes rpcVersionMismatchReply(uint32_t xid) {
    XdrWriter w;
    w.u32(xid);
    w.u32(kMsgReply);
    w.u32(kMsgDenied);
    w.u32(kRejectRpcMismatch);
    w.u32(2);
    w.u32(2);
    return w.take();
}

RpcBytes rpcCallMessage(uint32_t xid, uint32_t program, uint32_t version, uint32_t procedure, RpcByteView args) {
    XdrWriter w(kMinCallBytes + args.size());
    w.u32(xid);
    w.u32(kMsgCall);
    w.u32(2);
    w.u32(program);
    w.u32(version);
    w.u32(procedure);
    w.u32(kAuthNull);
    w.u32(0);
    w.u32(kAuthNull);
    w.u32(0);
    RpcBytes out = w.take();
    out.insert(out.end(), args.begin(), args.end());
    return out;
}

RpcBytes rpcRecordFrame(RpcByteView message) {
    RpcBytes out(4 + message.size());
    storeBE32(out.data(), kLastFragment | static_cast<uint32_t>(message.size()));
    if (!message.empty()) std::memcpy(out.data() + 4, message.data(), message.size());
    return out;
}

// --- Record marking

bool RpcRecordAssembler::feed(RpcByteView data, std::vector<RpcBytes>& out) {
    if (failed_) return false;
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    while (buffer_.size() - consumed_ >= 4) {
        const uint32_t header = loadBE32(buffer_.data() + consumed_);
        const size_t len = header & ~kLastFragment;
        // Checked before the body arrives, so an announced giant never gets buffered.
        if (len > maxRecord_ || record_.size() + len > maxRecord_) {
            failed_ = true;
            buffer_.clear();
            record_.clear();
            consumed_ = 0;
            return false;
        }
        if (buffer_.size() - consumed_ - 4 < len) break;
        const auto begin = buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_ + 4);
        record_.insert(record_.end(), begin, begin + static_cast<std::ptrdiff_t>(len));
        consumed_ += 4 + len;
        if (header & kLastFragment) {
            out.push_back(std::move(record_));
            record_ = {};
        }
    }
    if (consumed_ == buffer_.size()) {
        buffer_.clear();
        consumed_ = 0;
    } else if (consumed_ >= 64 * 1024) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
        consumed_ = 0;
    }
    return true;
}

}  // namespace fv::cdj
