#include <gtest/gtest.h>

#include "cdjlink/CDJRpc.hpp"
#include "cdjlink/NfsTestSupport.hpp"

using namespace fv::cdj;
using fv::test::hexOf;
using fv::test::Wire;

TEST(RpcXdr, WriterPadsOpaqueDataAndStrings) {
    XdrWriter w;
    w.u32(0x01020304);
    w.string("abcde");
    w.opaque(std::vector<uint8_t>{});
    w.fixedOpaque(std::vector<uint8_t>{0xaa, 0xbb});
    w.boolean(true);
    EXPECT_EQ(hexOf(w.bytes()), "01020304 00000005 61626364 65000000 00000000 aabb0000 00000001");

    // In-place opaque: reserved for 10, filled with 3, shrunk with zero padding.
    XdrWriter p;
    uint8_t* dst = p.beginOpaque(10);
    dst[0] = 'x';
    dst[1] = 'y';
    dst[2] = 'z';
    dst[3] = 0xff;  // beyond the committed length: must be cleared by the padding
    p.commitOpaque(3);
    EXPECT_EQ(hexOf(p.bytes()), "00000003 78797a00");
}

TEST(RpcXdr, ReaderFailsStickilyOnTruncationAndLimits) {
    Wire in;
    in.w(7).str("hello").w(99);
    XdrReader r(in.b);
    EXPECT_EQ(r.u32(), 7u);
    EXPECT_EQ(r.string(16), "hello");
    EXPECT_EQ(r.u32(), 99u);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u32(), 0u);  // past the end
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(r.string(16), "");  // stays failed
    EXPECT_EQ(r.remaining(), 0u);

    // A string longer than its limit fails even though the bytes are there.
    XdrReader limited(in.b);
    limited.u32();
    EXPECT_EQ(limited.string(4), "");
    EXPECT_FALSE(limited.ok());

    // A length word that points past the end, including near 2^32, fails without reading.
    for (uint32_t len : {6u, 0xfffffffcu, 0xffffffffu}) {
        Wire bad;
        bad.w(len).raw("abcd");
        XdrReader br(bad.b);
        br.opaque(0xffffffffu);
        EXPECT_FALSE(br.ok()) << len;
    }
}

TEST(RpcMessages, ParsesCallsAndRejectsWhatIsNotOne) {
    // AUTH_UNIX credential (flavor 1, 20 bytes), AUTH_NULL verifier, two words of arguments.
    Wire call;
    call.ws({0x11223344, 0, 2, 100003, 2, 6}).w(1).w(20).zeros(20).ws({0, 0}).ws({0xdead, 0xbeef});
    auto c = parseRpcCall(call.b);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->xid, 0x11223344u);
    EXPECT_EQ(c->rpcVersion, 2u);
    EXPECT_EQ(c->program, 100003u);
    EXPECT_EQ(c->version, 2u);
    EXPECT_EQ(c->procedure, 6u);
    EXPECT_EQ(c->credFlavor, 1u);
    EXPECT_EQ(c->cred.size(), 20u);
    EXPECT_EQ(hexOf(std::vector<uint8_t>(c->args.begin(), c->args.end())), "0000dead 0000beef");

    // Our own client builder produces exactly the 40-byte minimum plus the arguments.
    Wire args;
    args.w(5);
    EXPECT_EQ(rpcCallMessage(9, 100000, 2, 3, args.b), Wire().ws({9, 0, 2, 100000, 2, 3, 0, 0, 0, 0, 5}).b);
    EXPECT_TRUE(parseRpcCall(Wire().ws({9, 0, 2, 100000, 2, 0, 0, 0, 0, 0}).b));

    // A reply, 39 bytes, a credential running past the end, an oversized credential.
    EXPECT_FALSE(parseRpcCall(Wire().ws({9, 1, 2, 100000, 2, 0, 0, 0, 0, 0}).b));
    Wire short39;
    short39.ws({9, 0, 2, 100000, 2, 0, 0, 0, 0}).zeros(3);
    EXPECT_FALSE(parseRpcCall(short39.b));
    EXPECT_FALSE(parseRpcCall(Wire().ws({9, 0, 2, 100000, 2, 0, 1, 40, 0, 0}).b));
    Wire big;
    big.ws({9, 0, 2, 100000, 2, 0, 1, 404}).zeros(404).ws({0, 0});
    EXPECT_FALSE(parseRpcCall(big.b));
    Wire verfPast;
    verfPast.ws({9, 0, 2, 100000, 2, 0, 0, 0, 0, 8, 1});
    EXPECT_FALSE(parseRpcCall(verfPast.b));
}

TEST(RpcMessages, ReplyHeaders) {
    EXPECT_EQ(rpcAcceptedReply(0xabcd).take(), Wire().ws({0xabcd, 1, 0, 0, 0, 0}).b);
    EXPECT_EQ(rpcAcceptedReply(5, RpcAcceptStat::progUnavail).take(), Wire().ws({5, 1, 0, 0, 0, 1}).b);
    EXPECT_EQ(rpcAcceptedReply(5, RpcAcceptStat::procUnavail).take(), Wire().ws({5, 1, 0, 0, 0, 3}).b);
    EXPECT_EQ(rpcAcceptedReply(5, RpcAcceptStat::garbageArgs).take(), Wire().ws({5, 1, 0, 0, 0, 4}).b);
    EXPECT_EQ(rpcProgMismatchReply(5, 1, 2), Wire().ws({5, 1, 0, 0, 0, 2, 1, 2}).b);
    EXPECT_EQ(rpcVersionMismatchReply(5), Wire().ws({5, 1, 1, 0, 2, 2}).b);
}

TEST(RpcRecordMarking, FramesAndReassemblesRecords) {
    const std::vector<uint8_t> msg = Wire().ws({1, 2, 3}).b;
    EXPECT_EQ(hexOf(rpcRecordFrame(msg)), "8000000c 00000001 00000002 00000003");

    // Two records in one segment.
    {
        RpcRecordAssembler a;
        std::vector<RpcBytes> out;
        Wire seg;
        seg.add(rpcRecordFrame(msg)).add(rpcRecordFrame(Wire().w(9).b));
        EXPECT_TRUE(a.feed(seg.b, out));
        ASSERT_EQ(out.size(), 2u);
        EXPECT_EQ(out[0], msg);
        EXPECT_EQ(out[1], Wire().w(9).b);
        EXPECT_EQ(a.pending(), 0u);
    }
    // One record split inside the header and inside the body, then fed byte by byte.
    for (size_t cut : {2u, 7u}) {
        RpcRecordAssembler a;
        std::vector<RpcBytes> out;
        RpcBytes framed = rpcRecordFrame(msg);
        EXPECT_TRUE(a.feed(RpcByteView(framed).first(cut), out));
        EXPECT_TRUE(out.empty());
        EXPECT_TRUE(a.feed(RpcByteView(framed).subspan(cut), out));
        ASSERT_EQ(out.size(), 1u) << cut;
        EXPECT_EQ(out[0], msg);
    }
    {
        RpcRecordAssembler a;
        std::vector<RpcBytes> out;
        RpcBytes framed = rpcRecordFrame(msg);
        for (uint8_t byte : framed) a.feed(RpcByteView(&byte, 1), out);
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], msg);
    }
    // A record of two fragments (the first without the last-fragment bit).
    {
        RpcRecordAssembler a;
        std::vector<RpcBytes> out;
        Wire seg;
        seg.w(4).w(0xaaaaaaaa).w(0x80000004).w(0xbbbbbbbb);
        EXPECT_TRUE(a.feed(seg.b, out));
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], Wire().ws({0xaaaaaaaa, 0xbbbbbbbb}).b);
    }
    // An announced record over the limit poisons the stream at once, before its body arrives,
    // and so does a record that grows over it fragment by fragment.
    {
        RpcRecordAssembler a(1024);
        std::vector<RpcBytes> out;
        EXPECT_FALSE(a.feed(Wire().w(0x80000000u | 1025).b, out));
        EXPECT_TRUE(a.failed());
        EXPECT_FALSE(a.feed(rpcRecordFrame(msg), out));
        EXPECT_TRUE(out.empty());
    }
    {
        RpcRecordAssembler a(1024);
        std::vector<RpcBytes> out;
        Wire seg;
        seg.w(600).zeros(600);
        EXPECT_TRUE(a.feed(seg.b, out));
        EXPECT_FALSE(a.feed(Wire().w(0x80000000u | 600).b, out));
        EXPECT_TRUE(out.empty());
    }
}
