// Every packet the presence sends, byte for byte against values worked out from the tables.
#include <gtest/gtest.h>

#include "cdjlink/CDJBytes.hpp"
#include "cdjlink/CDJProDJLink.hpp"

using namespace fv;
using namespace fv::cdj;

namespace {

std::string z(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += i ? " 00" : "00";
    return s;
}
// Joins hex pieces with single spaces (empty pieces skipped).
std::string hx(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& p : parts) {
        if (p.empty()) continue;
        if (!out.empty()) out += ' ';
        out += p;
    }
    return out;
}
template <size_t N>
std::string dump(const std::array<uint8_t, N>& a) {
    return hexDump(a, N);
}

const std::string magic = "51 73 70 74 31 57 6d 4a 4f 4c";
// "Caf Bar" padded to 20 bytes.
const std::string cafBar = "43 61 66 20 42 61 72 " + z(13);

CDJLinkSettings cafe() {
    CDJLinkSettings s;
    s.deviceName = "Café Bar";
    s.deviceNumber = 17;
    return s;
}
CDJInterface eth() { return {"veth0", "10.99.0.1", "255.255.255.0", {0x02, 0x11, 0x22, 0x33, 0x44, 0x55}}; }

}  // namespace

TEST(PresencePackets, NameFieldsKeepAsciiAndHostnamesAreUtf16) {
    EXPECT_EQ(linkpkt::deviceNameText("Café Bar"), "Caf Bar");
    EXPECT_EQ(linkpkt::deviceNameText("ABCDEFGHIJKLMNOPQRSTUVWXY"), "ABCDEFGHIJKLMNOPQRST");
    EXPECT_EQ(linkpkt::deviceNameText("ÄÖÜ Club Überall Straße 12"), " Club berall Strae 1");
    EXPECT_EQ(linkpkt::deviceNameText(""), "");

    std::array<uint8_t, 12> b;
    b.fill(0xEE);
    linkpkt::writeHostname(b, 1, 5, "é🎧ab");  // U+00E9, U+1F3A7 as a surrogate pair, a, b
    EXPECT_EQ(hexDump(b, 12), "ee 00 e9 d8 3c df a7 00 61 00 62 ee");
    b.fill(0xEE);
    linkpkt::writeHostname(b, 0, 4, "A");
    EXPECT_EQ(hexDump(b, 12), "00 41 00 00 00 00 00 00 ee ee ee ee");
}

TEST(PresencePackets, AnnouncePortPackets) {
    auto s = cafe();
    auto i = eth();
    // 0x00 claim, first stage, N = 2.
    EXPECT_EQ(dump(linkpkt::claimFirstStage(s, i, 2)),
              hx({magic, "00 00", cafBar, "01 03 00 2c", "02 04", "02 11 22 33 44 55"}));
    // 0x02 claim, second stage: number 0x29, counter 3.
    EXPECT_EQ(dump(linkpkt::claimSecondStage(s, i, 0x29, 3)),
              hx({magic, "02 00", cafBar, "01 03 00 32", "0a 63 00 01", "02 11 22 33 44 55", "29 03 04 01"}));
    // 0x06 keepalive with two known peers.
    EXPECT_EQ(dump(linkpkt::keepalive(s, i, 2)),
              hx({magic, "06 00", cafBar, "01 03 00 36", "11 01", "02 11 22 33 44 55", "0a 63 00 01",
                  "03 01 00 00 04 08"}));
    // The peer count is capped at 255.
    EXPECT_EQ(linkpkt::keepalive(s, i, 0)[48], 1);
    EXPECT_EQ(linkpkt::keepalive(s, i, 254)[48], 255);
    EXPECT_EQ(linkpkt::keepalive(s, i, 10000)[48], 255);
    // A 25-character name keeps its first 20 characters.
    s.deviceName = "ABCDEFGHIJKLMNOPQRSTUVWXY";
    EXPECT_EQ(dump(linkpkt::keepalive(s, i, 0)).substr(36, 59),
              "41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50 51 52 53 54");
}

TEST(PresencePackets, StatusPortPackets) {
    auto s = cafe();
    const std::string head = hx({magic});
    // Status family: 11-30 name, 31 = 1, 32 = 1, 33 = own number, 34-35 length value.
    auto fam = [&](const std::string& type, const std::string& b32, const std::string& len) {
        return hx({magic, type, cafBar, "01", b32, "11", len});
    };
    EXPECT_EQ(dump(linkpkt::status(s)),
              hx({fam("29", "01", "00 38"), "11 00 00 c0 00 10", z(7), "10 00 00 00 09 ff 00"}));
    EXPECT_EQ(dump(linkpkt::linkReply(s)), hx({fam("16", "01", "00 00"), z(12)}));

    // 0x11: hostname as UTF-16BE in 40-295.
    std::string host = "00 43 00 61 00 66 00 e9 00 20 00 42 00 61 00 72";
    EXPECT_EQ(dump(linkpkt::hostnameReply(s)), hx({fam("11", "01", "01 04"), "11 01 00 00", host, z(256 - 16)}));
    // A long name is cut at 128 code units.
    CDJLinkSettings longName = s;
    longName.deviceName = std::string(200, 'x');
    auto h = linkpkt::hostnameReply(longName);
    for (size_t k = 40; k < 296; k += 2) {
        ASSERT_EQ(h[k], 0);
        ASSERT_EQ(h[k + 1], 'x');
    }

    // 0x47 with the display preference bytes of the defaults: half, 3band, classic, left.
    EXPECT_EQ(dump(linkpkt::linkAck(s)),
              hx({fam("47", "01", "00 24"), "11 04 00 00 12 34 56 78 00 00 00 01", "01 01 04 01 01 02", z(18)}));
    CDJLinkSettings other = s;
    other.overview = CDJOverview::full;
    other.waveColor = CDJWaveColor::rgb;
    other.keyDisplay = CDJKeyDisplay::alpha;
    other.wavePosition = CDJWavePosition::center;
    EXPECT_EQ(hexDump(linkpkt::displayPreferences(other), 6), "01 02 03 01 02 01");
    other.waveColor = CDJWaveColor::blue;
    EXPECT_EQ(linkpkt::displayPreferences(other)[2], 1);

    // 0x06 media response: 12 tracks, 3 playlists.
    std::string host32 = host + " " + z(64 - 16);
    EXPECT_EQ(dump(linkpkt::mediaResponse(s, 12, 3)),
              hx({fam("06", "01", "00 9c"), "00 00 00 11", "00 00 00 04", host32, z(58), "00 0c 00 00 01 01",
                  "00 00 00 03", z(16)}));
    // Track count capped, playlist count at least one, hostname cut at 32 code units.
    auto m = linkpkt::mediaResponse(longName, 70000, 0);
    EXPECT_EQ(hexDump(std::span<const uint8_t>(m).subspan(166, 10), 10), "ff ff 00 00 01 01 00 00 00 01");
    EXPECT_EQ(m[44 + 63], 'x');
    EXPECT_EQ(m[108], 0);
    EXPECT_EQ(readBE32(linkpkt::mediaResponse(s, 0, 70000), 172), 70000u);

    // 0x36 with both settings blocks.
    EXPECT_EQ(dump(linkpkt::mySettings(s)),
              hx({fam("36", "01", "00 54"), "11 04 00 00 12 34 56 78 00 00 00 03",
                  "81 83 81 88 81 01 82 81 81 01 01 01 82 80 80 81 80 81 80 00 00 81 00 00 81 81 81 80 81 80 00 00",
                  "81 80 83 83 81 00 00 00 00 00 80 81 85", z(27)}));

    // The two write acknowledgements carry 0 in byte 32.
    EXPECT_EQ(dump(linkpkt::writeAck(s, 0x38)), hx({fam("38", "00", "00 04"), "11 04 00 00"}));
    EXPECT_EQ(dump(linkpkt::writeAck(s, 0x49)), hx({fam("49", "00", "00 04"), "11 04 00 00"}));
    (void)head;
}

TEST(PresencePackets, DecodersClassificationAndNames) {
    // A keepalive as a CDJ-3000 sends it.
    std::array<uint8_t, 54> k{};
    std::copy(linkpkt::magic.begin(), linkpkt::magic.end(), k.begin());
    k[10] = 0x06;
    writeFixedText(k, 12, 20, "CDJ-3000");
    k[36] = 2;
    k[52] = 1;
    auto got = linkpkt::parseKeepalive(k);
    ASSERT_TRUE(got);
    EXPECT_EQ(got->name, "CDJ-3000");
    EXPECT_EQ(got->deviceNumber, 2);
    EXPECT_EQ(got->typeByte, 1);
    EXPECT_FALSE(linkpkt::parseKeepalive(std::span<const uint8_t>(k).first(53)));
    k[10] = 0x02;
    EXPECT_FALSE(linkpkt::parseKeepalive(k));
    k[10] = 0x06;
    k[0] = 'q';
    EXPECT_FALSE(linkpkt::parseKeepalive(k));
    k[0] = 'Q';
    // A name field without a terminator and with broken UTF-8 is repaired, not trusted.
    for (size_t n = 12; n < 32; ++n) k[n] = 0xC3;
    EXPECT_EQ(linkpkt::parseKeepalive(k)->name.size(), 20u * 3);

    EXPECT_EQ(linkpkt::classifyDevice(4, "CDJ-3000"), "rekordbox");
    EXPECT_EQ(linkpkt::classifyDevice(1, "rekordbox"), "rekordbox");
    EXPECT_EQ(linkpkt::classifyDevice(3, "xdj-xz"), "CDJ");
    EXPECT_EQ(linkpkt::classifyDevice(2, "Opus-Quad"), "CDJ");
    EXPECT_EQ(linkpkt::classifyDevice(3, "DJM-900NXS2"), "Mixer");
    EXPECT_EQ(linkpkt::classifyDevice(2, "Something"), "Mixer");
    EXPECT_EQ(linkpkt::classifyDevice(1, "DJM-A9"), "CDJ");
    EXPECT_EQ(linkpkt::classifyDevice(0, "djm-v10"), "Mixer");
    EXPECT_EQ(linkpkt::classifyDevice(9, "Unbekannt"), "CDJ");

    EXPECT_EQ(linkpkt::playStateName(2), "lädt");
    EXPECT_EQ(linkpkt::playStateName(14), "SPUN-DOWN");
    EXPECT_EQ(linkpkt::playStateName(0x1F), "0x1F");
    EXPECT_EQ(linkpkt::slotName(0), "-");
    EXPECT_EQ(linkpkt::slotName(7), "USB2");
    EXPECT_EQ(linkpkt::slotName(5), "5");
}
