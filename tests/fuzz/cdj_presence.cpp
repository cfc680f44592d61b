// The presence's and the passive listener's datagram handlers on arbitrary input. The first byte
// picks the port and the sender; the rest is the datagram.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "cdjlink/CDJDiscovery.hpp"
#include "cdjlink/CDJLog.hpp"
#include "cdjlink/CDJProDJLink.hpp"
#include "core/Log.hpp"
#include "core/SerialQueue.hpp"
#include "core/Utf8.hpp"

namespace {

struct World {
    fv::SerialQueue queue{"floorvote.cdjlink"};
    std::shared_ptr<fv::cdj::CDJLibrary> library = std::make_shared<fv::cdj::CDJLibrary>();
    std::shared_ptr<fv::cdj::CDJProDJLink> link;
    std::shared_ptr<fv::cdj::CDJDiscovery> discovery;
    size_t sentBytes = 0;

    World() {
        fv::setLogToStdout(false);
        fv::cdj::cdjLog().setFilePath("/dev/null");
        fv::cdj::CDJTrack t;
        t.id = 77;
        t.artist = "A";
        t.title = "T";
        library->replaceContent({t}, {fv::cdj::CDJPlaylist{1, "P", {77}}});
        fv::cdj::CDJLinkSettings s;
        s.deviceName = "Fuzz Café";
        link = std::make_shared<fv::cdj::CDJProDJLink>(
            queue, fv::cdj::CDJInterface{"veth0", "10.99.0.1", "255.255.255.0", {2, 0, 0, 0, 0, 1}}, s, library);
        // No sockets: replies are only counted.
        link->setSendObserver([this](std::span<const uint8_t> d, const std::string&, uint16_t) { sentBytes += d.size(); });
        link->onDeckChanged = [](const fv::cdj::CDJDeckState&) {};
        link->onPeersChanged = [](const std::vector<fv::cdj::CDJPeer>&) {};
        discovery = std::make_shared<fv::cdj::CDJDiscovery>(queue);
        discovery->onDevicesChanged = [](const std::vector<fv::cdj::CDJPeer>&) {};
    }
};

World& world() {
    static World* w = new World;
    return *w;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    World& w = world();
    uint8_t sel = data[0];
    std::span<const uint8_t> d(data + 1, size - 1);
    static const std::string senders[4] = {"10.99.0.2", "10.99.0.3", "10.99.0.1", "169.254.3.3"};
    const std::string& from = senders[(sel >> 2) & 3];
    fv::cdj::cdjLog().setVerbose(sel & 0x10);
    w.queue.dispatchSync([&] {
        switch (sel & 3) {
            case 0: w.link->handleAnnounce(d, from); break;
            case 1: w.link->handleStatus(d, from); break;
            case 2: w.discovery->handleDatagram(d, from); break;
            default:
                w.link->handleStatus(d, from);
                w.link->expirePeers();
                w.discovery->expire();
        }
    });
    // The pure decoders on their own.
    (void)fv::cdj::linkpkt::parseKeepalive(d);
    (void)fv::cdj::linkpkt::parsePlayerStatus(d);
    (void)fv::repairUtf8(std::string_view(reinterpret_cast<const char*>(d.data()), d.size()));
    return 0;
}
