#include <gtest/gtest.h>

#include "cdjlink/CDJDbCodec.hpp"

using namespace fv::cdj;

namespace {

Bytes hex(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Header of a request as a player sends it, worked out by hand: magic, txid, type, argc, tags.
Bytes header(uint32_t txid, uint16_t type, std::vector<uint8_t> tags) {
    Bytes b = hex({0x11, 0x87, 0x23, 0x49, 0xae, 0x11});
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(txid >> s));
    b.push_back(0x10);
    b.push_back(static_cast<uint8_t>(type >> 8));
    b.push_back(static_cast<uint8_t>(type));
    b.push_back(0x0f);
    b.push_back(static_cast<uint8_t>(tags.size()));
    size_t len = std::max<size_t>(tags.size(), 12);
    b.insert(b.end(), {0x14, 0, 0, 0, static_cast<uint8_t>(len)});
    tags.resize(len, 0);
    b.insert(b.end(), tags.begin(), tags.end());
    return b;
}

Bytes num(uint32_t v) {
    return hex({0x11, int(v >> 24 & 0xff), int(v >> 16 & 0xff), int(v >> 8 & 0xff), int(v & 0xff)});
}

CDJDbMessage expectMessage(CDJDbReader& r) {
    auto res = r.next();
    if (!std::holds_alternative<CDJDbMessage>(res)) {
        ADD_FAILURE() << "no message: "
                      << (std::holds_alternative<CDJDbReader::Desync>(res) ? std::get<CDJDbReader::Desync>(res).reason
                                                                           : std::string("incomplete"));
        return {};
    }
    return std::get<CDJDbMessage>(res);
}

std::string expectDesync(CDJDbReader& r) {
    auto res = r.next();
    if (!std::holds_alternative<CDJDbReader::Desync>(res)) {
        ADD_FAILURE() << "no desync";
        return {};
    }
    return std::get<CDJDbReader::Desync>(res).reason;
}

bool incomplete(CDJDbReader& r) { return std::holds_alternative<CDJDbReader::Incomplete>(r.next()); }

}  // namespace

TEST(DbCodec, EncodesStringsNumbersAndBlobsAsWorkedOutByHand) {
    // "ABC" plain: 0x26, count 4 (three units and the zero), UTF-16BE.
    Bytes plain = encodeDbMessage(7, 0x4101, {CDJOutArg::str("ABC")});
    Bytes plainTail = hex({0x26, 0, 0, 0, 4, 0x00, 0x41, 0x00, 0x42, 0x00, 0x43, 0x00, 0x00});
    ASSERT_GE(plain.size(), plainTail.size());
    EXPECT_EQ(Bytes(plain.end() - static_cast<long>(plainTail.size()), plain.end()), plainTail);
    EXPECT_EQ(plain.size(), header(7, 0x4101, {0x02}).size() + plainTail.size());
    EXPECT_EQ(Bytes(plain.begin(), plain.end() - static_cast<long>(plainTail.size())), header(7, 0x4101, {0x02}));

    // Wrapped: count 6, FF FA first, FF FB and the zero unit last.
    Bytes wrapped = encodeDbMessage(7, 0x4101, {CDJOutArg::strWrapped("ABC")});
    Bytes wrappedTail =
        hex({0x26, 0, 0, 0, 6, 0xff, 0xfa, 0x00, 0x41, 0x00, 0x42, 0x00, 0x43, 0xff, 0xfb, 0x00, 0x00});
    EXPECT_EQ(Bytes(wrapped.end() - static_cast<long>(wrappedTail.size()), wrapped.end()), wrappedTail);
    // An empty wrapped text is the zero unit alone.
    Bytes emptyWrapped = encodeDbMessage(1, 0x4101, {CDJOutArg::strWrapped("")});
    EXPECT_EQ(Bytes(emptyWrapped.end() - 7, emptyWrapped.end()), hex({0x26, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(dbStringByteLength("ABC", false), 8u);
    EXPECT_EQ(dbStringByteLength("ABC", true), 12u);
    EXPECT_EQ(dbStringByteLength("", true), 2u);
    // Beyond the BMP a character takes two units; invalid UTF-8 becomes one U+FFFD.
    EXPECT_EQ(dbStringByteLength("\xF0\x9F\x8E\xB5", false), 6u);
    EXPECT_EQ(utf8ToUtf16("a\xff"), std::u16string(u"a\uFFFD"));

    // Two numbers: the 12-byte tag list 06 06 00 ... and the whole message byte for byte.
    Bytes two = encodeDbMessage(0x01020304, 0x4000, {CDJOutArg::i32(0x1000), CDJOutArg::i32(3)});
    Bytes expected = hex({0x11, 0x87, 0x23, 0x49, 0xae,                               // magic
                          0x11, 0x01, 0x02, 0x03, 0x04,                               // txid
                          0x10, 0x40, 0x00,                                           // type
                          0x0f, 0x02,                                                 // argc
                          0x14, 0x00, 0x00, 0x00, 0x0c,                               // tag list length
                          0x06, 0x06, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,  // tags
                          0x11, 0x00, 0x00, 0x10, 0x00,                               // 0x1000
                          0x11, 0x00, 0x00, 0x00, 0x03});                             // 3
    EXPECT_EQ(two, expected);

    // More than 12 arguments: the tag list grows to the count.
    std::vector<CDJOutArg> sixteen(16, CDJOutArg::i32(0));
    sixteen[3] = CDJOutArg::blob(hex({9, 8}));
    Bytes many = encodeDbMessage(1, 0x4101, sixteen);
    EXPECT_EQ(many[14], 16);
    EXPECT_EQ(Bytes(many.begin() + 15, many.begin() + 20), hex({0x14, 0, 0, 0, 16}));
    EXPECT_EQ(many[20 + 3], 0x03);
    EXPECT_EQ(many[20 + 15], 0x06);
    CDJDbReader back;
    back.append(many);
    auto m = expectMessage(back);
    ASSERT_EQ(m.args.size(), 16u);
    EXPECT_EQ(m.args[3], CDJDbArg::b(hex({9, 8})));
}

TEST(DbCodec, ParsesFramedAndUnframedRequestsAndWaitsForSplitOnes) {
    // Unframed metadata request: DMST 0x11010101, track id 42.
    Bytes metadata = cat({header(5, 0x2002, {0x06, 0x06}), num(0x11010101), num(42)});
    // Framed: a 4-byte length in front (first byte 0).
    Bytes framedBody = cat({header(6, 0x1004, {0x06, 0x06}), num(0x11010101), num(2)});
    auto f = static_cast<uint32_t>(framedBody.size());
    Bytes framed = cat({hex({0, 0, int(f >> 8), int(f & 0xff)}), framedBody});
    // A string argument (search), with the string field as a player writes it.
    Bytes search = cat({header(7, 0x1300, {0x06, 0x06, 0x06, 0x02, 0x06}), num(0x11010101), num(0), num(8),
                        hex({0x26, 0, 0, 0, 4, 0, 'a', 0, 'b', 0, 'c', 0, 0}), num(0)});

    CDJDbReader r;
    EXPECT_TRUE(incomplete(r));
    r.append(cat({metadata, framed, search}));
    auto m1 = expectMessage(r);
    EXPECT_EQ(m1.txid, 5u);
    EXPECT_EQ(m1.type, 0x2002);
    EXPECT_EQ(m1.argc, 2);
    EXPECT_EQ(m1.args, (std::vector<CDJDbArg>{CDJDbArg::n(0x11010101), CDJDbArg::n(42)}));
    auto m2 = expectMessage(r);
    EXPECT_EQ(m2.txid, 6u);
    EXPECT_EQ(m2.type, 0x1004);
    EXPECT_EQ(m2.number(1), 2u);
    auto m3 = expectMessage(r);
    EXPECT_EQ(m3.type, 0x1300);
    ASSERT_NE(m3.string(3), nullptr);
    EXPECT_EQ(*m3.string(3), "abc");
    EXPECT_EQ(formatDbArgs(m3.args), "0x11010101, 0x0, 0x8, \"abc\", 0x0");
    EXPECT_TRUE(incomplete(r));
    EXPECT_TRUE(r.buffered().empty());

    // Split over one segment per byte: only the last byte completes it, nothing is lost before.
    Bytes both = cat({framed, metadata});
    CDJDbReader s;
    size_t messages = 0;
    for (size_t i = 0; i < both.size(); ++i) {
        s.append(std::span<const uint8_t>(&both[i], 1));
        for (;;) {
            auto res = s.next();
            if (std::holds_alternative<CDJDbReader::Incomplete>(res)) break;
            ASSERT_TRUE(std::holds_alternative<CDJDbMessage>(res)) << "at byte " << i;
            ++messages;
            EXPECT_TRUE(i == framed.size() - 1 || i == both.size() - 1) << "message completed at byte " << i;
        }
    }
    EXPECT_EQ(messages, 2u);

    // A frame of exactly 4 bytes (length 0) waits; a frame longer than its message is skipped whole.
    CDJDbReader z;
    z.append(hex({0, 0, 0, 0}));
    EXPECT_TRUE(incomplete(z));
    Bytes padded = cat({hex({0, 0, 0, int(framedBody.size() + 3)}), framedBody, hex({0xaa, 0xbb, 0xcc}), metadata});
    CDJDbReader p;
    p.append(padded);
    EXPECT_EQ(expectMessage(p).txid, 6u);
    EXPECT_EQ(expectMessage(p).txid, 5u);

    // The magic may come without its field byte; strings drop zero units and repair lone surrogates.
    Bytes setupHeader = header(9, 0x0000, {0x06});
    Bytes bare = cat({Bytes(setupHeader.begin() + 1, setupHeader.end()), num(1)});
    Bytes odd = cat({header(10, 0x1300, {0x02}), hex({0x26, 0, 0, 0, 4, 0, 'x', 0, 0, 0xd8, 0x00, 0, 0})});
    CDJDbReader q;
    q.append(cat({bare, odd}));
    auto setup = expectMessage(q);
    EXPECT_EQ(setup.txid, 9u);
    EXPECT_EQ(setup.number(0), 1u);
    EXPECT_EQ(*expectMessage(q).string(0), "x\xEF\xBF\xBD");
}

TEST(DbCodec, AbsentBlobsDoNotStallOrDesyncTheStream) {
    // A waveform preview request announces a blob after its zero length but leaves it out.
    Bytes preview = cat({header(11, 0x2004, {0x06, 0x06, 0x06, 0x06, 0x03}), num(0x11080101), num(4), num(42), num(0)});
    CDJDbReader r;
    r.append(preview);
    auto m = expectMessage(r);
    EXPECT_EQ(m.argc, 5);
    EXPECT_EQ(m.args.size(), 4u);
    EXPECT_EQ(m.number(2), 42u);
    // ... also when the next request follows at once.
    Bytes setup = cat({header(12, 0x0000, {0x06}), num(1)});
    r.append(cat({preview, setup}));
    EXPECT_EQ(expectMessage(r).txid, 11u);
    EXPECT_EQ(expectMessage(r).txid, 12u);

    // A blob with a non-zero length before it is waited for, then decoded.
    Bytes withBlob = cat({header(13, 0x2805, {0x06, 0x06, 0x03}), num(0x11010101), num(2), hex({0x14, 0, 0, 0, 2})});
    CDJDbReader w;
    w.append(withBlob);
    EXPECT_TRUE(incomplete(w));
    w.append(hex({0xab, 0xcd}));
    auto wm = expectMessage(w);
    EXPECT_EQ(wm.args.size(), 3u);
    EXPECT_EQ(wm.args[2], CDJDbArg::b(hex({0xab, 0xcd})));

    // Only blobs, unframed: the fields are decoded, so the next message is found in step.
    Bytes blobs = cat({header(14, 0x3e03, {0x03, 0x03}), hex({0x14, 0, 0, 0, 1, 0x77}), hex({0x14, 0, 0, 0, 0})});
    CDJDbReader b;
    b.append(cat({blobs, setup}));
    auto bm = expectMessage(b);
    EXPECT_EQ(bm.args, (std::vector<CDJDbArg>{CDJDbArg::b(hex({0x77})), CDJDbArg::b({})}));
    EXPECT_EQ(expectMessage(b).txid, 12u);
    // ... and when none follow, the message ends after its tag list.
    CDJDbReader e;
    e.append(header(15, 0x3e03, {0x03, 0x03}));
    EXPECT_TRUE(expectMessage(e).args.empty());
    e.append(setup);
    EXPECT_EQ(expectMessage(e).txid, 12u);
}

TEST(DbCodec, ReportsDesyncWithTheReasons) {
    auto desyncOf = [](Bytes b) {
        CDJDbReader r;
        r.append(b);
        return expectDesync(r);
    };
    // A buffer that begins with a blob field instead of the magic.
    EXPECT_EQ(desyncOf(hex({0x14, 0, 0, 0, 0x0c, 6, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})),
              "Magic falsch: 14 00 00 00 0c 06 06 00 00 00 00 00 00 00 00 00");
    EXPECT_EQ(desyncOf(hex({0x11, 0xde, 0xad, 0xbe, 0xef})), "Magic falsch: de ad be ef");
    Bytes h = header(1, 0x2002, {0x06});
    auto corrupt = [&](size_t at, uint8_t v) {
        Bytes b = cat({h, num(1)});
        b[at] = v;
        return b;
    };
    EXPECT_EQ(desyncOf(corrupt(5, 0x10)), "txid-Feld erwartet");
    EXPECT_EQ(desyncOf(corrupt(10, 0x11)), "type-Feld erwartet");
    EXPECT_EQ(desyncOf(corrupt(13, 0x10)), "argc-Feld erwartet");
    EXPECT_EQ(desyncOf(corrupt(15, 0x11)), "tags-Feld erwartet");
    EXPECT_EQ(desyncOf(cat({h, hex({0x27, 0, 0, 0, 1})})), "unbekanntes Feld-Tag 0x27 bei Typ 0x2002");
    // Lengths that would make the session buffer without bound.
    EXPECT_EQ(desyncOf(cat({header(1, 0x2805, {0x03}), hex({0x14, 0xff, 0xff, 0xff, 0xff})})),
              "Blob zu lang (4294967295 B)");
    EXPECT_EQ(desyncOf(cat({h, hex({0x26, 0x7f, 0xff, 0xff, 0xff})})), "Text zu lang (2147483647 Zeichen)");
    // Nothing is consumed before a desync or while incomplete.
    CDJDbReader r;
    Bytes partial(h.begin(), h.begin() + 9);
    r.append(partial);
    EXPECT_TRUE(incomplete(r));
    EXPECT_EQ(r.buffered().size(), partial.size());
}

TEST(DbCodec, PortQueryNamesTheServiceInAnyEncoding) {
    // As players send it: length 15, "RemoteDBServer" and a zero.
    Bytes ascii = hex({0, 0, 0, 0x0f});
    for (char c : std::string("RemoteDBServer")) ascii.push_back(static_cast<uint8_t>(c));
    ascii.push_back(0);
    auto q = parsePortQuery(ascii);
    EXPECT_EQ(q.state, CDJPortQuery::State::complete);
    EXPECT_EQ(q.name, "RemoteDBServer");
    // As UTF-16: the zero bytes are dropped.
    Bytes wide = hex({0, 0, 0, 8, 0, 'R', 0, 'D', 0, 'B', 0, 0});
    EXPECT_EQ(parsePortQuery(wide).name, "RDB");
    EXPECT_EQ(parsePortQuery(Bytes(wide.begin(), wide.end() - 1)).state, CDJPortQuery::State::incomplete);
    EXPECT_EQ(parsePortQuery(hex({0, 0})).state, CDJPortQuery::State::incomplete);
    EXPECT_EQ(parsePortQuery(hex({0, 0, 0, 2, 0xc3, 0x28})).name, "\xEF\xBF\xBD(");
    EXPECT_EQ(parsePortQuery(hex({0x7f, 0, 0, 0})).state, CDJPortQuery::State::invalid);
}

TEST(DbCodec, AnIncompleteMessageCannotGrowWithoutBound) {
    // 255 blobs each within the field limit are allowed field by field; the message as a whole is not.
    CDJDbReader r;
    Bytes head = header(1, 0x2805, std::vector<uint8_t>(255, 0x03));
    r.append(head);
    Bytes field{0x14, 0x00, 0x04, 0x00, 0x00};  // 256 KiB
    Bytes body(0x00040000, 0x5a);
    r.append(field);
    r.append(body);
    EXPECT_TRUE(incomplete(r));
    r.append(field);
    r.append(Bytes(0x00040000 - 10, 0));  // the second blob still short, the whole beyond 512 KiB
    EXPECT_EQ(expectDesync(r), "Nachricht zu lang (über 524288 B)");
    // A field or a frame that claims more than a request can need ends the stream at once.
    CDJDbReader big;
    big.append(cat({header(1, 0x2805, {0x03}), hex({0x14, 0x00, 0x04, 0x00, 0x01})}));
    EXPECT_EQ(expectDesync(big), "Blob zu lang (262145 B)");
    CDJDbReader framed;
    framed.append(hex({0x00, 0x7f, 0xff, 0xff, 0xff, 0x11}));
    EXPECT_EQ(expectDesync(framed), "Nachricht zu lang (8388607 B)");
}
