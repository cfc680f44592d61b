#include "overlay/WebSocketProtocol.hpp"

#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "core/Base64.hpp"

namespace fv::overlay {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lower(x) == lower(y); });
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool isToken(std::string_view s) {
    if (s.empty()) return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return u > 32 && u < 127 && !std::strchr("()<>@,;:\\\"/[]?={}", c);
    });
}

// A comma-separated header value containing the token (case-insensitive).
bool hasToken(std::string_view value, std::string_view token) {
    while (!value.empty()) {
        auto comma = value.find(',');
        auto part = trim(value.substr(0, comma));
        if (equalsIgnoringCase(part, token)) return true;
        if (comma == std::string_view::npos) break;
        value.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

std::optional<std::string_view> HttpRequestHead::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (equalsIgnoringCase(n, name)) return std::string_view(v);
    return std::nullopt;
}

HeadParse parseRequestHead(std::string_view bytes) {
    HeadParse r;
    // The head ends at the first empty line.
    size_t end = std::string_view::npos, endLen = 0;
    for (size_t i = 0; i < bytes.size() && i < maxRequestHead; ++i) {
        if (bytes[i] != '\n') continue;
        if (i + 1 < bytes.size() && bytes[i + 1] == '\n') {
            end = i + 1;
            endLen = 1;
            break;
        }
        if (i + 2 < bytes.size() && bytes[i + 1] == '\r' && bytes[i + 2] == '\n') {
            end = i + 1;
            endLen = 2;
            break;
        }
    }
    if (end == std::string_view::npos) {
        r.status = bytes.size() >= maxRequestHead ? HeadParse::Status::invalid : HeadParse::Status::incomplete;
        return r;
    }
    if (end + endLen > maxRequestHead) {
        r.status = HeadParse::Status::invalid;
        return r;
    }
    r.length = end + endLen;
    std::string_view head = bytes.substr(0, end);
    r.status = HeadParse::Status::invalid;

    auto nextLine = [&head]() {
        auto nl = head.find('\n');
        std::string_view line = head.substr(0, nl);
        head.remove_prefix(nl == std::string_view::npos ? head.size() : nl + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        return line;
    };

    std::string_view line = nextLine();
    auto sp1 = line.find(' ');
    if (sp1 == std::string_view::npos) return r;
    auto sp2 = line.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return r;
    std::string_view method = line.substr(0, sp1), target = line.substr(sp1 + 1, sp2 - sp1 - 1),
                     version = line.substr(sp2 + 1);
    if (!isToken(method) || target.empty() || version.substr(0, 5) != "HTTP/") return r;
    if (std::any_of(line.begin(), line.end(), [](char c) { return c == '\0'; })) return r;
    r.head.method = std::string(method);
    r.head.target = std::string(target);
    r.head.version = std::string(version);

    while (!head.empty()) {
        line = nextLine();
        if (line.empty()) continue;
        auto colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return r;
        r.head.headers.emplace_back(std::string(line.substr(0, colon)), std::string(trim(line.substr(colon + 1))));
    }
    r.status = HeadParse::Status::complete;
    return r;
}

RequestKind classify(const HttpRequestHead& head) {
    if (head.method != "GET") return RequestKind::ignored;
    if (auto up = head.header("Upgrade"); up && hasToken(*up, "websocket")) return RequestKind::upgrade;
    return RequestKind::page;
}

std::optional<std::string> webSocketKey(const HttpRequestHead& head) {
    auto key = head.header("Sec-WebSocket-Key");
    if (!key || key->empty()) return std::nullopt;
    return std::string(*key);
}

std::string webSocketAccept(std::string_view key) {
    std::string input(key);
    input += "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_Digest(input.data(), input.size(), digest, &len, EVP_sha1(), nullptr);
    return base64Encode(std::string_view(reinterpret_cast<const char*>(digest), len));
}

std::string pageResponse(std::string_view html) {
    std::string r = "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: ";
    r += std::to_string(html.size());
    r += "\r\nConnection: close\r\n\r\n";
    r += html;
    return r;
}

std::string upgradeResponse(std::string_view accept) {
    std::string r =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: ";
    r += accept;
    r += "\r\n\r\n";
    return r;
}

std::string encodeFrame(Opcode op, std::string_view payload) {
    std::string f;
    f.reserve(payload.size() + 10);
    f.push_back(static_cast<char>(0x80 | static_cast<uint8_t>(op)));
    const uint64_t n = payload.size();
    if (n < 126) {
        f.push_back(static_cast<char>(n));
    } else if (n <= 0xFFFF) {
        f.push_back(static_cast<char>(126));
        f.push_back(static_cast<char>((n >> 8) & 0xFF));
        f.push_back(static_cast<char>(n & 0xFF));
    } else {
        f.push_back(static_cast<char>(127));
        for (int shift = 56; shift >= 0; shift -= 8) f.push_back(static_cast<char>((n >> shift) & 0xFF));
    }
    f.append(payload);
    return f;
}

std::string encodeCloseFrame(uint16_t code, std::string_view reason) {
    std::string p;
    p.push_back(static_cast<char>(code >> 8));
    p.push_back(static_cast<char>(code & 0xFF));
    p.append(reason.substr(0, 123));
    return encodeFrame(Opcode::close, p);
}

// ---- reader ---------------------------------------------------------------------------------

void WebSocketReader::fail(std::vector<Reply>& out, uint16_t code, std::string_view reason) {
    out.push_back({encodeCloseFrame(code, reason), true});
    finished_ = true;
    closeCode_ = code;
    buffer_.clear();
    message_.clear();
}

namespace {
bool validCloseCode(uint16_t c) {
    if (c >= 3000 && c <= 4999) return true;
    switch (c) {
        case 1000:
        case 1001:
        case 1002:
        case 1003:
        case 1007:
        case 1008:
        case 1009:
        case 1010:
        case 1011:
            return true;
        default:
            return false;
    }
}
}  // namespace

bool WebSocketReader::frame(std::vector<Reply>& out, bool fin, Opcode op, std::string payload) {
    switch (op) {
        case Opcode::ping:
            out.push_back({encodeFrame(Opcode::pong, payload), false});
            return true;
        case Opcode::pong:
            return true;
        case Opcode::close: {
            if (payload.size() == 1) {
                fail(out, close_code::protocolError, "bad close payload");
                return false;
            }
            if (payload.empty()) {
                out.push_back({encodeFrame(Opcode::close, {}), true});
                closeCode_ = close_code::normal;
            } else {
                auto code =
                    static_cast<uint16_t>((static_cast<uint8_t>(payload[0]) << 8) | static_cast<uint8_t>(payload[1]));
                if (!validCloseCode(code)) {
                    fail(out, close_code::protocolError, "bad close code");
                    return false;
                }
                if (!isValidUtf8(std::string_view(payload).substr(2))) {
                    fail(out, close_code::invalidPayload, "bad close reason");
                    return false;
                }
                out.push_back({encodeCloseFrame(code), true});
                closeCode_ = code;
            }
            finished_ = true;
            buffer_.clear();
            return false;
        }
        case Opcode::text:
        case Opcode::binary:
            if (inMessage_) {
                fail(out, close_code::protocolError, "expected continuation");
                return false;
            }
            messageOp_ = op;
            message_ = std::move(payload);
            inMessage_ = true;
            break;
        case Opcode::continuation:
            if (!inMessage_) {
                fail(out, close_code::protocolError, "unexpected continuation");
                return false;
            }
            message_ += payload;
            break;
    }
    if (message_.size() > maxMessage_) {
        fail(out, close_code::tooBig, "message too big");
        return false;
    }
    if (fin) {
        if (messageOp_ == Opcode::text && !isValidUtf8(message_)) {
            fail(out, close_code::invalidPayload, "invalid UTF-8");
            return false;
        }
        ++messages_;
        inMessage_ = false;
        message_.clear();
    }
    return true;
}

std::vector<WebSocketReader::Reply> WebSocketReader::feed(std::string_view bytes) {
    std::vector<Reply> out;
    if (finished_) return out;
    buffer_.append(bytes);
    size_t pos = 0;
    while (!finished_) {
        std::string_view b = std::string_view(buffer_).substr(pos);
        if (b.size() < 2) break;
        auto b0 = static_cast<uint8_t>(b[0]), b1 = static_cast<uint8_t>(b[1]);
        const bool fin = b0 & 0x80;
        const uint8_t opcode = b0 & 0x0F;
        if (b0 & 0x70) {
            fail(out, close_code::protocolError, "reserved bits set");
            break;
        }
        const bool known = opcode <= 0x2 || (opcode >= 0x8 && opcode <= 0xA);
        if (!known) {
            fail(out, close_code::protocolError, "reserved opcode");
            break;
        }
        const bool control = opcode >= 0x8;
        if (!(b1 & 0x80)) {
            fail(out, close_code::protocolError, "unmasked frame");
            break;
        }
        uint64_t len = b1 & 0x7F;
        size_t header = 2;
        if (control && (!fin || len > 125)) {
            fail(out, close_code::protocolError, "bad control frame");
            break;
        }
        if (len == 126) {
            if (b.size() < 4) break;
            len = (static_cast<uint64_t>(static_cast<uint8_t>(b[2])) << 8) | static_cast<uint8_t>(b[3]);
            header = 4;
            if (len < 126) {
                fail(out, close_code::protocolError, "non-minimal length");
                break;
            }
        } else if (len == 127) {
            if (b.size() < 10) break;
            len = 0;
            for (int i = 0; i < 8; ++i) len = (len << 8) | static_cast<uint8_t>(b[2 + i]);
            header = 10;
            if (len >> 63) {
                fail(out, close_code::protocolError, "bad length");
                break;
            }
            if (len <= 0xFFFF) {
                fail(out, close_code::protocolError, "non-minimal length");
                break;
            }
        }
        // Refuse before buffering: a message past the limit is never read in.
        const uint64_t already = (!control && opcode == 0x0) ? message_.size() : 0;
        if (len > maxMessage_ || already + len > maxMessage_) {
            fail(out, close_code::tooBig, "message too big");
            break;
        }
        if (b.size() < header + 4 + len) break;
        const char* mask = b.data() + header;
        std::string payload(b.substr(header + 4, static_cast<size_t>(len)));
        for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);
        pos += header + 4 + static_cast<size_t>(len);
        if (!frame(out, fin, static_cast<Opcode>(opcode), std::move(payload))) break;
    }
    if (finished_) {
        buffer_.clear();
    } else {
        buffer_.erase(0, pos);
    }
    return out;
}

}  // namespace fv::overlay
