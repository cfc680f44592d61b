#include <gtest/gtest.h>

#include "overlay/OverlayTestClient.hpp"
#include "overlay/WebSocketProtocol.hpp"

using namespace fv::overlay;
using fv::test::LoopbackClient;

namespace {
std::string hex(std::string_view s, size_t n) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < std::min(n, s.size()); ++i) {
        std::snprintf(b, sizeof b, "%02x", static_cast<unsigned char>(s[i]));
        out += b;
    }
    return out;
}
// Opcode and status code of a close frame, leaving out its length and reason.
std::string closeBytes(uint16_t code) {
    std::string f = encodeCloseFrame(code);
    return f.substr(0, 1) + f.substr(2, 2);
}
std::string closeOf(const std::string& f) { return f.size() < 4 ? f : f.substr(0, 1) + f.substr(2, 2); }
std::string frame(uint8_t first, std::string_view payload, bool mask = true) {
    return LoopbackClient::clientFrame(first, payload, mask);
}
}  // namespace

TEST(WebSocketHandshake, AcceptValueAndAnswerBytes) {
    EXPECT_EQ(webSocketAccept("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    EXPECT_EQ(upgradeResponse("s3pPLMBiTxaQ9kYGzzhZRbK+xOo="),
              "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
              "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n");
    // Content-Length counts UTF-8 bytes, not characters.
    std::string page = "<p>Gr\u00FC\u00DFe \U0001F3B5</p>";
    EXPECT_EQ(pageResponse(page), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
                                      std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
    EXPECT_EQ(page.size(), 19u);
}

TEST(WebSocketHandshake, RequestHeadsAreParsedAndClassified) {
    auto p = parseRequestHead(
        "GET /overlay?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nupgrade: WebSocket\r\n"
        "sec-websocket-key:   abc==  \r\nConnection: keep-alive, Upgrade\r\n\r\nEXTRA");
    ASSERT_EQ(p.status, HeadParse::Status::complete);
    EXPECT_EQ(p.head.method, "GET");
    EXPECT_EQ(p.head.target, "/overlay?x=1");
    EXPECT_EQ(classify(p.head), RequestKind::upgrade);
    EXPECT_EQ(webSocketKey(p.head), "abc==");
    EXPECT_EQ(p.length, std::string_view("GET /overlay?x=1 HTTP/1.1\r\nHost: 127.0.0.1:8765\r\nupgrade: WebSocket\r\n"
                                         "sec-websocket-key:   abc==  \r\nConnection: keep-alive, Upgrade\r\n\r\n")
                            .size());

    auto page = parseRequestHead("GET /anything HTTP/1.0\n\n");
    ASSERT_EQ(page.status, HeadParse::Status::complete);
    EXPECT_EQ(classify(page.head), RequestKind::page);

    auto noKey = parseRequestHead("GET / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key:\r\n\r\n");
    ASSERT_EQ(noKey.status, HeadParse::Status::complete);
    EXPECT_EQ(classify(noKey.head), RequestKind::upgrade);
    EXPECT_FALSE(webSocketKey(noKey.head));

    // Neither GET nor an upgrade by GET: ignored, whatever the headers say.
    auto post = parseRequestHead("POST / HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: k\r\n\r\n");
    ASSERT_EQ(post.status, HeadParse::Status::complete);
    EXPECT_EQ(classify(post.head), RequestKind::ignored);
    auto other = parseRequestHead("OPTIONS * HTTP/1.1\r\n\r\n");
    EXPECT_EQ(classify(other.head), RequestKind::ignored);

    EXPECT_EQ(parseRequestHead("GET / HTTP/1.1\r\nHost: x\r\n").status, HeadParse::Status::incomplete);
    EXPECT_EQ(parseRequestHead("").status, HeadParse::Status::incomplete);
    EXPECT_EQ(parseRequestHead("\x16\x03\x01\x02\x05\r\n\r\n").status, HeadParse::Status::invalid);
    EXPECT_EQ(parseRequestHead("GET /\r\n\r\n").status, HeadParse::Status::invalid);
    EXPECT_EQ(parseRequestHead("GET / HTTP/1.1\r\nno colon here\r\n\r\n").status, HeadParse::Status::invalid);
    EXPECT_EQ(parseRequestHead(std::string(maxRequestHead, 'A')).status, HeadParse::Status::invalid);
    std::string longHead = "GET / HTTP/1.1\r\nX: " + std::string(maxRequestHead, 'a') + "\r\n\r\n";
    EXPECT_EQ(parseRequestHead(longHead).status, HeadParse::Status::invalid);
}

TEST(WebSocketFrames, ServerFramesUseTheShortestLengthForm) {
    auto f125 = encodeTextFrame(std::string(125, 'a'));
    EXPECT_EQ(hex(f125, 2), "817d");
    EXPECT_EQ(f125.size(), 127u);
    auto f126 = encodeTextFrame(std::string(126, 'b'));
    EXPECT_EQ(hex(f126, 4), "817e007e");
    EXPECT_EQ(f126.size(), 130u);
    auto f65535 = encodeTextFrame(std::string(65535, 'c'));
    EXPECT_EQ(hex(f65535, 4), "817effff");
    auto f65536 = encodeTextFrame(std::string(65536, 'd'));
    EXPECT_EQ(hex(f65536, 10), "817f0000000000010000");
    EXPECT_EQ(f65536.size(), 65546u);
    EXPECT_EQ(f65536.substr(10), std::string(65536, 'd'));
    EXPECT_EQ(hex(encodeTextFrame(""), 2), "8100");
    EXPECT_EQ(hex(encodeCloseFrame(1002), 4), "880203ea");
}

TEST(WebSocketFrames, ReaderAnswersPingsClosesAndViolations) {
    {
        // Text is read and dropped; a ping split across reads is answered with the same payload.
        WebSocketReader r;
        EXPECT_TRUE(r.feed(frame(0x81, "hello")).empty());
        std::string ping = frame(0x89, "abc");
        EXPECT_TRUE(r.feed(ping.substr(0, 3)).empty());
        auto out = r.feed(ping.substr(3));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].bytes,
                  "\x8a\x03"
                  "abc");
        EXPECT_FALSE(out[0].closeAfter);
        EXPECT_EQ(r.messagesReceived(), 1u);
        // A fragmented text with a ping in between is fine.
        EXPECT_TRUE(r.feed(frame(0x01, "fra")).empty());
        EXPECT_EQ(r.feed(frame(0x89, "")).size(), 1u);
        EXPECT_TRUE(r.feed(frame(0x80, "gment")).empty());
        EXPECT_EQ(r.messagesReceived(), 2u);
        // Close with a code: echoed, then the connection ends; later bytes are not read.
        out = r.feed(frame(0x88, std::string("\x03\xe8", 2) + "bye") + frame(0x89, "late"));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].bytes, encodeCloseFrame(1000));
        EXPECT_TRUE(out[0].closeAfter);
        EXPECT_TRUE(r.finished());
        EXPECT_TRUE(r.feed(frame(0x89, "x")).empty());
    }
    {
        WebSocketReader r;
        auto out = r.feed(frame(0x88, ""));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0].bytes, std::string("\x88\x00", 2));
    }
    struct Case {
        const char* what;
        std::string bytes;
        uint16_t code;
    };
    std::string tooLong = frame(0x81, std::string(200, 'x'));
    std::string nonMinimal = "\x81\xfe";
    nonMinimal += std::string("\x00\x05", 2) + "\x01\x02\x03\x04" + "hello";
    std::string hugeLength = std::string("\x82\xff", 2) + std::string("\x80\0\0\0\0\0\0\0", 8);
    const Case cases[] = {
        {"unmasked", frame(0x81, "hi", false), 1002},
        {"reserved bit", frame(0xC1, "hi"), 1002},
        {"reserved opcode", frame(0x83, "hi"), 1002},
        {"fragmented ping", frame(0x09, "hi"), 1002},
        {"continuation without start", frame(0x80, "hi"), 1002},
        {"new message inside a fragmented one", frame(0x01, "a") + frame(0x81, "b"), 1002},
        {"control frame over 125 bytes", frame(0x89, std::string(126, 'p')), 1002},
        {"one-byte close payload", frame(0x88, "x"), 1002},
        {"close code 1005 on the wire", frame(0x88, std::string("\x03\xed", 2)), 1002},
        {"non-minimal 16-bit length", nonMinimal, 1002},
        {"64-bit length with the top bit", hugeLength, 1002},
        {"invalid UTF-8 text", frame(0x81, "\xC3\x28"), 1007},
        {"invalid UTF-8 across fragments", frame(0x01, "\xE2\x82") + frame(0x80, "\x28"), 1007},
        {"overlong encoding", frame(0x81, "\xC0\xAF"), 1007},
        {"oversized message", tooLong, 1009},
        {"oversized in fragments", frame(0x02, std::string(100, 'x')) + frame(0x80, std::string(100, 'x')), 1009},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WebSocketReader r(128);
        auto out = r.feed(c.bytes);
        ASSERT_FALSE(out.empty());
        EXPECT_EQ(closeOf(out.back().bytes), closeBytes(c.code));
        EXPECT_TRUE(out.back().closeAfter);
        EXPECT_TRUE(r.finished());
        EXPECT_EQ(r.closeCode(), c.code);
    }
    // Valid UTF-8 split across fragments passes; an oversized frame is refused from its header
    // alone, before its payload arrived.
    WebSocketReader ok;
    EXPECT_TRUE(ok.feed(frame(0x01, "\xE2\x82") + frame(0x80, "\xAC")).empty());
    EXPECT_EQ(ok.messagesReceived(), 1u);
    WebSocketReader early(128);
    auto out = early.feed(frame(0x82, std::string(1000, 'z')).substr(0, 8));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(closeOf(out[0].bytes), closeBytes(1009));
}

TEST(WebSocketFrames, Utf8Validation) {
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("\u00FC\u20AC\U0001F3B5"));
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));      // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80"));  // past U+10FFFF
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));          // cut short
    EXPECT_FALSE(isValidUtf8("\xFF"));
}
