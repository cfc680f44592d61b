#pragma once
// The overlay server's HTTP and WebSocket wire handling as pure code: no sockets, threads or
// clocks. The server session feeds received bytes in and writes out what comes back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/Utf8.hpp"

namespace fv::overlay {

// ---- HTTP request head ----------------------------------------------------------------------

// The most a request head may take; a longer one ends the connection unanswered.
inline constexpr size_t maxRequestHead = 8192;

struct HttpRequestHead {
    std::string method;
    std::string target;
    std::string version;
    std::vector<std::pair<std::string, std::string>> headers;  // names as sent, values trimmed

    // The first header of that name (case-insensitive).
    std::optional<std::string_view> header(std::string_view name) const;
};

struct HeadParse {
    enum class Status { incomplete, complete, invalid };
    Status status = Status::incomplete;
    size_t length = 0;  // bytes of the head including the blank line, when complete
    HttpRequestHead head;
};

// Parses the head at the start of `bytes` (CRLF or bare LF line ends). Incomplete while the blank
// line has not arrived; invalid for a malformed head or one longer than maxRequestHead.
HeadParse parseRequestHead(std::string_view bytes);

enum class RequestKind {
    page,     // any GET: the overlay page
    upgrade,  // GET with "Upgrade: websocket"
    ignored,  // anything else: left unanswered
};
RequestKind classify(const HttpRequestHead& head);

// The trimmed Sec-WebSocket-Key, or nothing when absent or empty.
std::optional<std::string> webSocketKey(const HttpRequestHead& head);
// Base64 of SHA-1 over the key and the fixed GUID.
std::string webSocketAccept(std::string_view key);

std::string pageResponse(std::string_view html);
std::string upgradeResponse(std::string_view accept);

// ---- WebSocket frames -----------------------------------------------------------------------

enum class Opcode : uint8_t { continuation = 0x0, text = 0x1, binary = 0x2, close = 0x8, ping = 0x9, pong = 0xA };

namespace close_code {
inline constexpr uint16_t normal = 1000;
inline constexpr uint16_t goingAway = 1001;
inline constexpr uint16_t protocolError = 1002;
inline constexpr uint16_t invalidPayload = 1007;
inline constexpr uint16_t tooBig = 1009;
}  // namespace close_code

// One unmasked server frame with FIN set. Lengths below 126 take one byte, up to 65,535 the
// 16-bit form, longer the 64-bit form (big-endian).
std::string encodeFrame(Opcode op, std::string_view payload);
inline std::string encodeTextFrame(std::string_view payload) { return encodeFrame(Opcode::text, payload); }
// A close frame with a status code and an optional reason (cut to fit a control frame).
std::string encodeCloseFrame(uint16_t code, std::string_view reason = {});

using fv::isValidUtf8;

// Reads the frames a browser sends. The page sends nothing meaningful: text and binary messages
// are counted and dropped. Pings are answered with pongs; a close is answered with a close and
// ends the connection; a protocol violation (unmasked frame, reserved bits or opcodes, broken
// fragmentation, oversized control frame, non-minimal length) closes with 1002, invalid UTF-8
// with 1007 and a message larger than the limit with 1009.
class WebSocketReader {
public:
    struct Reply {
        std::string bytes;        // to write, in order
        bool closeAfter = false;  // end the connection once written
    };

    explicit WebSocketReader(size_t maxMessage = 64 * 1024) : maxMessage_(maxMessage) {}

    // Takes received bytes (any split); returns what to write now.
    std::vector<Reply> feed(std::string_view bytes);

    // No further input is read once a close was sent.
    bool finished() const { return finished_; }
    size_t messagesReceived() const { return messages_; }
    // The close code we sent or echoed, when finished.
    std::optional<uint16_t> closeCode() const { return closeCode_; }

private:
    void fail(std::vector<Reply>& out, uint16_t code, std::string_view reason);
    // Handles one complete frame; false when the connection ends.
    bool frame(std::vector<Reply>& out, bool fin, Opcode op, std::string payload);

    size_t maxMessage_;
    std::string buffer_;
    bool finished_ = false;
    std::optional<uint16_t> closeCode_;
    // A fragmented message in progress.
    bool inMessage_ = false;
    Opcode messageOp_ = Opcode::text;
    std::string message_;
    size_t messages_ = 0;
};

}  // namespace fv::overlay
