#include "cdjlink/CDJProDJLink.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

#include <arpa/inet.h>
#include <fmt/format.h>

#include "cdjlink/CDJLog.hpp"
#include "core/SerialQueue.hpp"
#include "core/Utf8.hpp"

namespace fv::cdj {

// ---- pure packet code

namespace linkpkt {

namespace {

// Family headers. Announce: 11 = 0, 12-31 name, 32 = 1, 33 = 3, 34-35 total length.
template <size_t N>
std::array<uint8_t, N> announceFamily(const CDJLinkSettings& s, uint8_t type) {
    std::array<uint8_t, N> b{};
    std::copy(magic.begin(), magic.end(), b.begin());
    b[10] = type;
    writeFixedText(b, 12, 20, deviceNameText(s.deviceName));
    b[32] = 1;
    b[33] = 3;
    writeBE16(b, 34, static_cast<uint16_t>(N));
    return b;
}

// Status: 11-30 name, 31 = 1, 32 = 1 (0 in the write acknowledgements), 33 own number, 34-35 length.
template <size_t N>
std::array<uint8_t, N> statusFamily(const CDJLinkSettings& s, uint8_t type, uint16_t length, uint8_t byte32 = 1) {
    std::array<uint8_t, N> b{};
    std::copy(magic.begin(), magic.end(), b.begin());
    b[10] = type;
    writeFixedText(b, 11, 20, deviceNameText(s.deviceName));
    b[31] = 1;
    b[32] = byte32;
    b[33] = s.deviceNumber;
    writeBE16(b, 34, length);
    return b;
}

void writeAddress(std::span<uint8_t> b, size_t at, const std::string& dotted) {
    in_addr a{};
    if (::inet_pton(AF_INET, dotted.c_str(), &a) == 1) std::memcpy(b.data() + at, &a, 4);  // network order
}

void writeMac(std::span<uint8_t> b, size_t at, const std::array<uint8_t, 6>& mac) {
    std::copy(mac.begin(), mac.end(), b.begin() + static_cast<ptrdiff_t>(at));
}

bool startsWith(std::string_view s, std::string_view p) { return s.substr(0, p.size()) == p; }

}  // namespace

bool hasHeader(std::span<const uint8_t> d) {
    return d.size() > magic.size() && std::equal(magic.begin(), magic.end(), d.begin());
}

std::string deviceNameText(std::string_view deviceName) {
    std::string out;
    for (char c : deviceName) {
        if (static_cast<uint8_t>(c) < 0x80) out += c;
        if (out.size() == 20) break;
    }
    return out;
}

void writeHostname(std::span<uint8_t> b, size_t at, size_t units, std::string_view deviceName) {
    detail::checkRange(b.size(), at, units * 2);
    std::memset(b.data() + at, 0, units * 2);
    std::u16string u16 = utf8ToUtf16(deviceName);
    for (size_t k = 0; k < u16.size() && k < units; ++k) writeBE16(b, at + 2 * k, u16[k]);
}

std::array<uint8_t, 6> displayPreferences(const CDJLinkSettings& s) {
    uint8_t overview = s.overview == CDJOverview::full ? 2 : 1;
    uint8_t wave = s.waveColor == CDJWaveColor::blue ? 1 : s.waveColor == CDJWaveColor::rgb ? 3 : 4;
    uint8_t key = s.keyDisplay == CDJKeyDisplay::alpha ? 2 : 1;
    uint8_t pos = s.wavePosition == CDJWavePosition::left ? 2 : 1;
    return {1, overview, wave, 1, key, pos};
}

std::array<uint8_t, 44> claimFirstStage(const CDJLinkSettings& s, const CDJInterface& i, uint8_t n) {
    auto b = announceFamily<44>(s, 0x00);
    b[36] = n;
    b[37] = 4;
    writeMac(b, 38, i.mac);
    return b;
}

std::array<uint8_t, 50> claimSecondStage(const CDJLinkSettings& s, const CDJInterface& i, uint8_t claimed,
                                         uint8_t counter) {
    auto b = announceFamily<50>(s, 0x02);
    writeAddress(b, 36, i.address);
    writeMac(b, 40, i.mac);
    b[46] = claimed;
    b[47] = counter;
    b[48] = 4;
    b[49] = 1;
    return b;
}

std::array<uint8_t, 54> keepalive(const CDJLinkSettings& s, const CDJInterface& i, size_t knownPeers) {
    auto b = announceFamily<54>(s, 0x06);
    b[36] = s.deviceNumber;
    b[37] = 1;
    writeMac(b, 38, i.mac);
    writeAddress(b, 44, i.address);
    b[48] = static_cast<uint8_t>(std::min<size_t>(knownPeers + 1, 255));
    b[49] = 1;
    b[52] = 4;
    b[53] = 8;
    return b;
}

std::array<uint8_t, 56> status(const CDJLinkSettings& s) {
    auto b = statusFamily<56>(s, 0x29, 0x0038);
    b[36] = s.deviceNumber;
    b[39] = 0xC0;
    b[41] = 0x10;
    b[49] = 0x10;
    b[53] = 9;
    b[54] = 0xFF;
    return b;
}

std::array<uint8_t, 296> hostnameReply(const CDJLinkSettings& s) {
    auto b = statusFamily<296>(s, 0x11, 0x0104);
    b[36] = s.deviceNumber;
    b[37] = 1;
    writeHostname(b, 40, 128, s.deviceName);
    return b;
}

std::array<uint8_t, 48> linkReply(const CDJLinkSettings& s) { return statusFamily<48>(s, 0x16, 0); }

std::array<uint8_t, 72> linkAck(const CDJLinkSettings& s) {
    auto b = statusFamily<72>(s, 0x47, 0x0024);
    b[36] = s.deviceNumber;
    b[37] = 4;
    b[40] = 0x12, b[41] = 0x34, b[42] = 0x56, b[43] = 0x78;
    b[47] = 1;
    auto p = displayPreferences(s);
    std::copy(p.begin(), p.end(), b.begin() + 48);
    return b;
}

std::array<uint8_t, 192> mediaResponse(const CDJLinkSettings& s, size_t trackCount, size_t playlistCount) {
    auto b = statusFamily<192>(s, 0x06, 0x009C);
    writeBE32(b, 36, s.deviceNumber);
    writeBE32(b, 40, 4);
    writeHostname(b, 44, 32, s.deviceName);
    writeBE16(b, 166, static_cast<uint16_t>(std::min<size_t>(trackCount, 65535)));
    b[170] = 1;
    b[171] = 1;
    writeBE32(b, 172, static_cast<uint32_t>(std::clamp<size_t>(playlistCount, 1, 0xFFFFFFFFu)));
    return b;
}

std::array<uint8_t, 120> mySettings(const CDJLinkSettings& s) {
    auto b = statusFamily<120>(s, 0x36, 0x0054);
    b[36] = s.deviceNumber;
    b[37] = 4;
    b[40] = 0x12, b[41] = 0x34, b[42] = 0x56, b[43] = 0x78;
    writeBE32(b, 44, 3);
    std::copy(settingsBlockA.begin(), settingsBlockA.end(), b.begin() + 48);
    std::copy(settingsBlockB.begin(), settingsBlockB.end(), b.begin() + 80);
    return b;
}

std::array<uint8_t, 40> writeAck(const CDJLinkSettings& s, uint8_t type) {
    auto b = statusFamily<40>(s, type, 0x0004, 0);
    b[36] = s.deviceNumber;
    b[37] = 4;
    return b;
}

std::optional<Keepalive> parseKeepalive(std::span<const uint8_t> d) {
    if (d.size() < 54 || !hasHeader(d) || d[10] != 0x06) return std::nullopt;
    auto nameBytes = d.subspan(12, 20);
    auto end = std::find(nameBytes.begin(), nameBytes.end(), uint8_t{0});
    Keepalive k;
    k.name = repairUtf8(std::string_view(reinterpret_cast<const char*>(nameBytes.data()),
                                         static_cast<size_t>(end - nameBytes.begin())));
    k.deviceNumber = d[36];
    k.typeByte = d[52];
    return k;
}

std::optional<PlayerStatus> parsePlayerStatus(std::span<const uint8_t> d) {
    if (d.size() < 204 || !hasHeader(d) || d[10] != 0x0A) return std::nullopt;
    PlayerStatus p;
    p.player = d[33];
    p.sourceDevice = d[40];
    p.sourceSlot = d[41];
    p.trackId = readBE32(d, 44);
    p.playState = d[123];
    p.flags = d[137];
    p.tempo = readBE16(d, 146);
    return p;
}

std::string classifyDevice(uint8_t t, std::string_view name) {
    std::string upper(name);
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (t == 4 || startsWith(upper, "REKORDBOX")) return "rekordbox";
    for (auto p : {"CDJ", "XDJ", "OPUS", "OMNIS", "DDJ"})
        if (startsWith(upper, p)) return "CDJ";
    if (t == 2 || t == 3) return "Mixer";
    if (t == 1) return "CDJ";
    if (startsWith(upper, "DJM")) return "Mixer";
    return "CDJ";
}

std::string playStateName(int64_t s) {
    switch (s) {
        case 0: return "leer";
        case 2: return "lädt";
        case 3: return "PLAY";
        case 4: return "LOOP";
        case 5: return "PAUSE";
        case 6: return "CUE";
        case 7: return "CUE-PLAY";
        case 8: return "PLATTER";
        case 9: return "SUCHE";
        case 14: return "SPUN-DOWN";
        case 17: return "ENDE";
        default: return fmt::format("0x{:X}", s);
    }
}

std::string slotName(int64_t slot) {
    switch (slot) {
        case 0: return "-";
        case 1: return "CD";
        case 2: return "SD";
        case 3: return "USB";
        case 4: return "rekordbox";
        case 6: return "Streaming";
        case 7: return "USB2";
        default: return std::to_string(slot);
    }
}

}  // namespace linkpkt

// ---- the presence

namespace {
// Per-sender bookkeeping is keyed by address; a flood of forged senders must not grow it forever.
constexpr size_t maxTrackedSenders = 4096;
}  // namespace

CDJProDJLink::CDJProDJLink(SerialQueue& queue, CDJInterface iface, CDJLinkSettings settings,
                           std::shared_ptr<const CDJLibrary> library)
    : queue_(queue),
      iface_(std::move(iface)),
      settings_(std::move(settings)),
      library_(std::move(library)),
      broadcast_(broadcastAddress(iface_)),
      now_([] { return Clock::now(); }),
      scheduler_([&q = queue](std::chrono::milliseconds interval, bool repeating, std::function<void()> fn) {
          auto t = repeating ? q.every(interval, std::move(fn)) : q.after(interval, std::move(fn));
          return std::function<void()>([t] { t->cancel(); });
      }) {}

CDJProDJLink::~CDJProDJLink() {
    for (auto& cancel : timers_) cancel();
    for (auto& [id, cancel] : pending_) cancel();
}

void CDJProDJLink::later(std::chrono::milliseconds delay, std::function<void(CDJProDJLink&)> fn) {
    uint64_t id = nextPending_++;
    auto cancel = scheduler_(delay, false, [w = weak_from_this(), id, fn = std::move(fn)] {
        auto self = w.lock();
        if (!self) return;
        auto keep = self->pending_.extract(id);  // the timer lives until this returns
        if (!self->stopped_) fn(*self);
    });
    pending_.emplace(id, std::move(cancel));
}

void CDJProDJLink::start() {
    queue_.dispatchSync([this] { startOnQueue(); });
}

void CDJProDJLink::startOnQueue() {
    queue_.assertOnQueue();
    if (started_) return;
    started_ = true;
    auto w = weak_from_this();
    try {
        announceSock_ = CDJUdpSocket::open(announcePort, queue_, "Announce",
                                           [w](std::span<const uint8_t> d, const std::string& a, uint16_t) {
                                               if (auto s = w.lock()) s->handleAnnounce(d, a);
                                           });
        statusSock_ = CDJUdpSocket::open(statusPort, queue_, "Status",
                                         [w](std::span<const uint8_t> d, const std::string& a, uint16_t) {
                                             if (auto s = w.lock()) s->handleStatus(d, a);
                                         });
        // Beats are not needed; the port is held like a player holds it.
        beatSock_ = CDJUdpSocket::open(beatPort, queue_, "Beat (nur mithören)", nullptr);
    } catch (...) {
        stopOnQueue();
        throw;
    }
    cdjLogLine("INFO", fmt::format("Claim-Sequenz als \"{}\" (Nr. {}) auf {} {} → {}",
                                   linkpkt::deviceNameText(settings_.deviceName), settings_.deviceNumber, iface_.name,
                                   iface_.address, broadcast_));
    claimStep_ = 0;
    later(std::chrono::milliseconds(300), [](CDJProDJLink& s) { s.claimStep(); });
}

void CDJProDJLink::claimStep() {
    queue_.assertOnQueue();
    if (stopped_) return;
    if (claimStep_ <= 2) {
        auto p = linkpkt::claimFirstStage(settings_, iface_, static_cast<uint8_t>(claimStep_ + 1));
        send(Sock::announce, p, broadcast_, announcePort);
        send(Sock::announce, p, broadcast_, announcePort);
    } else if (claimStep_ <= 8) {
        for (uint8_t n : claimNumbers) {
            auto p = linkpkt::claimSecondStage(settings_, iface_, n, static_cast<uint8_t>(claimStep_ - 2));
            send(Sock::announce, p, broadcast_, announcePort);
            send(Sock::announce, p, broadcast_, announcePort);
        }
    } else {
        finishClaim();
        return;
    }
    ++claimStep_;
    later(std::chrono::milliseconds(300), [](CDJProDJLink& s) { s.claimStep(); });
}

void CDJProDJLink::finishClaim() {
    queue_.assertOnQueue();
    cdjLogLine("OK", "Claim abgeschlossen – Keepalive läuft");
    auto p = linkpkt::claimSecondStage(settings_, iface_, static_cast<uint8_t>(settings_.deviceNumber + 1), 6);
    send(Sock::announce, p, broadcast_, announcePort);
    // The first keepalive goes out with the end of the claim, so players see the device 3 s after start.
    sendKeepalive();
    auto w = weak_from_this();
    auto every = [&](std::chrono::milliseconds period, void (CDJProDJLink::*fn)()) {
        timers_.push_back(scheduler_(period, true, [w, fn] {
            auto self = w.lock();
            if (self && !self->stopped_) ((*self).*fn)();
        }));
    };
    every(std::chrono::milliseconds(1500), &CDJProDJLink::sendKeepalive);
    every(std::chrono::milliseconds(50), &CDJProDJLink::burst);
    every(std::chrono::milliseconds(100), &CDJProDJLink::sendStatusPair);
    every(std::chrono::milliseconds(2000), &CDJProDJLink::expirePeers);
}

void CDJProDJLink::sendKeepalive() {
    queue_.assertOnQueue();
    auto p = linkpkt::keepalive(settings_, iface_, peers_.size());
    send(Sock::announce, p, broadcast_, announcePort);
}

void CDJProDJLink::burst() {
    queue_.assertOnQueue();
    if (claimDone_ || burstCount_ >= 200) return;
    auto p = linkpkt::claimSecondStage(settings_, iface_, claimNumbers[static_cast<size_t>(burstSlot_)],
                                       static_cast<uint8_t>(std::min(burstCounter_, 255)));
    send(Sock::announce, p, broadcast_, announcePort);
    ++burstCount_;
    if (burstCount_ % 2 == 0 && ++burstSlot_ > 5) {
        burstSlot_ = 0;
        ++burstCounter_;
    }
}

void CDJProDJLink::sendStatusPair() {
    queue_.assertOnQueue();
    if (!claimDone_) return;
    auto p = linkpkt::status(settings_);
    send(Sock::status, p, broadcast_, statusPort);
    send(Sock::status, p, broadcast_, statusPort);
}

void CDJProDJLink::send(Sock which, std::span<const uint8_t> d, const std::string& address, uint16_t port) {
    if (sendObserver_) sendObserver_(d, address, port);
    auto& sock = which == Sock::announce ? announceSock_ : statusSock_;
    if (sock) sock->send(d, address, port);
}

void CDJProDJLink::stop() {
    queue_.dispatchSync([this] { stopOnQueue(); });
}

void CDJProDJLink::stopOnQueue() {
    queue_.assertOnQueue();
    stopped_ = true;
    for (auto& cancel : timers_) cancel();
    timers_.clear();
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [id, cancel] : pending) cancel();
    for (auto* s : {&announceSock_, &statusSock_, &beatSock_}) {
        if (*s) (*s)->close();
        s->reset();
    }
}

std::map<int64_t, CDJDeckState> CDJProDJLink::decks() const {
    queue_.assertOnQueue();
    return decks_;
}

bool CDJProDJLink::claimDone() const {
    queue_.assertOnQueue();
    return claimDone_;
}

int CDJProDJLink::burstCount() const {
    queue_.assertOnQueue();
    return burstCount_;
}

std::vector<CDJPeer> CDJProDJLink::peers() const {
    queue_.assertOnQueue();
    std::vector<CDJPeer> out;
    out.reserve(peers_.size());
    for (const auto& [a, p] : peers_) out.push_back(p);
    return out;
}

// ---- received datagrams

void CDJProDJLink::handleAnnounce(std::span<const uint8_t> d, const std::string& sender) {
    queue_.assertOnQueue();
    if (sender == iface_.address) return;
    if (auto k = linkpkt::parseKeepalive(d)) handleKeepalive(*k, sender);
}

void CDJProDJLink::handleKeepalive(const linkpkt::Keepalive& k, const std::string& sender) {
    std::string kind = linkpkt::classifyDevice(k.typeByte, k.name);
    auto now = now_();
    if (auto it = peers_.find(sender); it != peers_.end()) {
        it->second.lastSeen = now;
        it->second.deviceNumber = k.deviceNumber;
        return;
    }
    peers_.emplace(sender, CDJPeer{sender, k.name, k.deviceNumber, kind, now});
    cdjLogLine("INFO",
               fmt::format("Gerät: {} ({}, Nr. {}, Typbyte 0x{:X}) @ {}", k.name, kind, k.deviceNumber, k.typeByte,
                           sender));
    if (kind == "rekordbox")
        cdjLogLine("WARN", "Ein anderes rekordbox ist im Netz – zwei rekordbox-Quellen blockieren das Laden am CDJ!");
    if (onPeersChanged) onPeersChanged(peers());
}

void CDJProDJLink::expirePeers() {
    queue_.assertOnQueue();
    auto now = now_();
    bool removed = false;
    for (auto it = peers_.begin(); it != peers_.end();) {
        if (now - it->second.lastSeen > std::chrono::milliseconds(8000)) {
            cdjLogLine("WARN", fmt::format("Gerät weg: {} @ {}", it->second.name, it->second.address));
            it = peers_.erase(it);
            removed = true;
        } else {
            ++it;
        }
    }
    if (removed && onPeersChanged) onPeersChanged(peers());
}

void CDJProDJLink::handleStatus(std::span<const uint8_t> d, const std::string& sender) {
    queue_.assertOnQueue();
    if (d.size() < 34 || !linkpkt::hasHeader(d) || sender == iface_.address) return;
    const uint8_t type = d[10];
    auto reply = [&](std::span<const uint8_t> p, std::string_view what) {
        send(Sock::status, p, sender, statusPort);
        cdjLogLine("LINK", fmt::format("→ {} an {}", what, sender));
    };
    switch (type) {
        case 0x03:
        case 0x29:
        case 0x30:
            return;
        case 0x05: {
            if (d.size() < 48) return;
            cdjLogLine("LINK", fmt::format("← 0x05 Media-Query von Nr. {} (Slot {}) @ {}", d[33], d[47], sender));
            size_t tracks = library_ ? library_->trackCount() : 0;
            size_t playlists = library_ ? library_->playlistCount() : 0;
            // Always slot 4, whatever slot was asked for: the library is the rekordbox slot.
            reply(linkpkt::mediaResponse(settings_, tracks, playlists),
                  fmt::format("0x06 Media-Response ({} Tracks, Slot 4)", tracks));
            return;
        }
        case 0x0A:
            if (auto st = linkpkt::parsePlayerStatus(d)) handlePlayerStatus(*st, sender);
            return;
        case 0x10:
            cdjLogLine("LINK", "← 0x10 Hello von " + sender);
            reply(linkpkt::hostnameReply(settings_), "0x11 (Hostname)");
            return;
        case 0x1A:
            cdjLogLine("LINK", "← 0x1a Load-Ack von " + sender);
            return;
        case 0x1C:
            cdjLogLine("WARN", "← 0x1c \"media unavailable\" von " + sender + " (Load abgelehnt)");
            return;
        case 0x35:
            reply(linkpkt::mySettings(settings_), "0x36 My Settings");
            return;
        case 0x37:
            reply(linkpkt::writeAck(settings_, 0x38), "0x38 Ack (MySetting write)");
            return;
        case 0x46:
            handleLinkHandshake(sender);
            return;
        case 0x48:
            reply(linkpkt::writeAck(settings_, 0x49), "0x49 Ack (DevSetting write)");
            return;
        case 0x80: {
            std::string key = "80:" + sender;
            if (loggedUnknown_.count(key)) return;
            if (loggedUnknown_.size() >= maxTrackedSenders) loggedUnknown_.clear();
            loggedUnknown_.insert(key);
            if (cdjLog().verbose())
                cdjLogLine("LINK",
                           fmt::format("← 0x80 ({} B) von {}: {}", d.size(), sender, hexDump(d, 44)));
            return;
        }
        default:
            if (cdjLog().verbose())
                cdjLogLine("LINK", fmt::format("← unbekannter Typ 0x{:02X} ({} B) von {}", type, d.size(), sender));
            return;
    }
}

void CDJProDJLink::handleLinkHandshake(const std::string& sender) {
    auto it = linkAcks_.find(sender);
    int n = it == linkAcks_.end() ? 0 : it->second;
    if (!claimDone_) {
        claimDone_ = true;
        cdjLogLine("LINK", "Erstes 0x46 – Claim-Burst beendet, 0x29-Status startet");
    }
    if (n == 0) {
        if (linkAcks_.size() >= maxTrackedSenders) linkAcks_.clear();
        cdjLogLine("LINK", "← 0x46 #1 von " + sender);
        auto p = linkpkt::linkReply(settings_);
        send(Sock::status, p, sender, statusPort);
        cdjLogLine("LINK", "→ 0x16 an " + sender);
        later(std::chrono::milliseconds(3000), [sender](CDJProDJLink& s) {
            if (!s.statusSock_ && !s.sendObserver_) return;
            auto again = linkpkt::linkReply(s.settings_);
            s.send(Sock::status, again, sender, statusPort);
        });
        linkAcks_[sender] = 1;
        return;
    }
    if (cdjLog().verbose()) cdjLogLine("LINK", fmt::format("← 0x46 #{} von {} → 0x47", n + 1, sender));
    auto p = linkpkt::linkAck(settings_);
    send(Sock::status, p, sender, statusPort);
    linkAcks_[sender] = n + 1;
}

void CDJProDJLink::handlePlayerStatus(const linkpkt::PlayerStatus& st, const std::string& sender) {
    CDJDeckState s;
    s.player = st.player;
    s.address = sender;
    s.trackId = st.trackId;
    s.sourceDevice = st.sourceDevice;
    s.sourceSlot = st.sourceSlot;
    s.playState = st.playState;
    s.isPlaying = st.playState == 3 || st.playState == 4 || st.playState == 7 || st.playState == 8;
    s.onAir = (st.flags & 0x08) != 0;
    s.isMaster = (st.flags & 0x20) != 0;
    if (st.tempo != 0xFFFF) s.bpm = st.tempo / 100.0;
    s.fromLibrary = st.sourceDevice == settings_.deviceNumber && st.sourceSlot == 4;
    s.updatedAt = now_();

    auto it = decks_.find(s.player);
    bool same = it != decks_.end() && it->second.trackId == s.trackId && it->second.sourceDevice == s.sourceDevice &&
                it->second.playState == s.playState && it->second.onAir == s.onAir;
    decks_[s.player] = s;
    // Master flag and tempo alone change all the time and are not worth a line.
    if (same) return;

    std::string track;
    std::optional<CDJTrack> t;
    if (s.fromLibrary && library_) t = library_->track(s.trackId);
    if (t) {
        track = fmt::format("{} – {} (ID {})", t->artist, t->title, s.trackId);
    } else if (s.trackId != 0) {
        track = fmt::format("ID {} von Nr. {}/{}", s.trackId, s.sourceDevice, linkpkt::slotName(s.sourceSlot));
    } else {
        track = "kein Track";
    }
    cdjLogLine("NOW", fmt::format("Player {}: {} {} {}{}{}", s.player, linkpkt::playStateName(s.playState), track,
                                  s.onAir ? "ON-AIR " : "", s.isMaster ? "MASTER " : "",
                                  s.bpm ? fmt::format("{:.1f} BPM", *s.bpm) : ""));
    if (onDeckChanged) onDeckChanged(s);
}

}  // namespace fv::cdj
