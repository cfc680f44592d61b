// Feeds arbitrary bytes to the overlay server's wire handling: the HTTP request head parser and
// its classification, then the WebSocket frame reader in pieces whose sizes come from the input,
// and, for inputs that look like JSON, the overlay configuration and event decoders.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "core/Json.hpp"
#include "overlay/OverlayConfig.hpp"
#include "overlay/OverlayEvent.hpp"
#include "overlay/WebSocketProtocol.hpp"

using namespace fv;
using namespace fv::overlay;

namespace {

void head(std::string_view bytes) {
    HeadParse p = parseRequestHead(bytes);
    if (p.status != HeadParse::Status::complete) return;
    if (p.length == 0 || p.length > bytes.size() || p.length > maxRequestHead) std::abort();
    RequestKind kind = classify(p.head);
    if (kind != RequestKind::ignored && p.head.method != "GET") std::abort();
    if (auto key = webSocketKey(p.head)) {
        if (key->empty()) std::abort();
        if (webSocketAccept(*key).size() != 28) std::abort();
    }
}

void frames(std::string_view bytes) {
    if (bytes.empty()) return;
    // The first byte picks the piece size, so frames split everywhere get tried.
    const size_t piece = 1 + static_cast<uint8_t>(bytes[0]) % 64;
    bytes.remove_prefix(1);
    WebSocketReader reader(4096);
    bool ended = false;
    while (!bytes.empty()) {
        auto chunk = bytes.substr(0, piece);
        bytes.remove_prefix(chunk.size());
        auto replies = reader.feed(chunk);
        if (ended && !replies.empty()) std::abort();  // nothing is answered after the end
        for (size_t i = 0; i < replies.size(); ++i) {
            const auto& r = replies[i];
            if (r.bytes.size() < 2) std::abort();
            const auto op = static_cast<uint8_t>(r.bytes[0]);
            if (op != 0x8A && op != 0x88) std::abort();  // only pongs and closes go back
            if (r.closeAfter != (op == 0x88)) std::abort();
            if (r.closeAfter && i + 1 != replies.size()) std::abort();
        }
        if (reader.finished()) ended = true;
    }
}

void records(std::string_view bytes) {
    if (bytes.empty() || bytes.front() != '{') return;
    try {
        OverlayConfig c = OverlayConfig::fromData(bytes);
        // What decodes encodes, and decodes to the same again.
        if (!(OverlayConfig::fromData(c.toData()) == c)) std::abort();
    } catch (const DecodeError&) {
    }
    try {
        OverlayEvent e = OverlayEvent::fromJson(jsonx::parse(bytes));
        (void)encodeTextFrame(e.encode());
    } catch (const DecodeError&) {
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    head(bytes);
    frames(bytes);
    records(bytes);
    return 0;
}
