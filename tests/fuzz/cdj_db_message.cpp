// Feeds arbitrary bytes to a database session (greeting, framing, fields, every request handler)
// in pieces, and checks that each message the parser returns encodes and parses back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "cdjlink/CDJDbCodec.hpp"
#include "cdjlink/CDJDbServer.hpp"
#include "cdjlink/CDJLog.hpp"
#include "core/Log.hpp"
#include "core/SerialQueue.hpp"

using namespace fv;
using namespace fv::cdj;

namespace {

struct World {
    SerialQueue queue{"floorvote.cdjlink.fuzz"};
    std::shared_ptr<CDJLibrary> library = std::make_shared<CDJLibrary>();
    std::shared_ptr<CDJDbServer> server;

    World() {
        setLogToStdout(false);
        cdjLog().setFilePath("/dev/null");
        std::vector<CDJTrack> tracks;
        for (uint32_t id = 1; id <= 5; ++id) {
            CDJTrack t;
            t.id = id;
            t.title = "Titel " + std::to_string(id);
            t.artist = id % 2 ? "Künstler" : "";
            t.key = id % 2 ? "Am" : "X";
            t.filePath = id == 5 ? "" : "/nicht/da.mp3";
            t.anlz = {{"DAT", "/nicht/da.DAT"}, {"EXT", std::nullopt}};
            t.cues = {{static_cast<int64_t>(id), 100, id % 2 ? 0 : 900, 42, ""}};
            tracks.push_back(t);
        }
        library->replaceContent(tracks, {{7, "Liste", {1, 2, 3, 9}}});
        server = std::make_shared<CDJDbServer>(queue, library, CDJLinkSettings{}, 0);
    }
};

World& world() {
    static World* w = new World;
    return *w;
}

std::vector<CDJOutArg> asOut(const std::vector<CDJDbArg>& args) {
    std::vector<CDJOutArg> out;
    for (const auto& a : args) {
        if (a.isNumber()) out.push_back(CDJOutArg::i32(a.number()));
        else if (a.isString()) out.push_back(CDJOutArg::str(a.string()));
        else out.push_back(CDJOutArg::blob(a.blob()));
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    World& w = world();
    size_t chunk = (data[0] % 16) + 1;
    std::span<const uint8_t> input(data + 1, size - 1);

    // The whole session, fed in pieces.
    CDJDbSession session(1, *w.server, "10.99.0.2");
    for (size_t at = 0; at < input.size(); at += chunk) {
        auto out = session.receive(input.subspan(at, std::min(chunk, input.size() - at)));
        if (out.end) break;
    }

    // The parser alone: every message it returns survives an encode/parse round trip.
    CDJDbReader reader;
    reader.append(input);
    for (;;) {
        auto res = reader.next();
        auto* m = std::get_if<CDJDbMessage>(&res);
        if (!m) break;
        if (m->args.size() > 255) std::abort();
        CDJDbReader back;
        back.append(encodeDbMessage(m->txid, m->type, asOut(m->args)));
        auto again = back.next();
        auto* m2 = std::get_if<CDJDbMessage>(&again);
        if (!m2 || m2->txid != m->txid || m2->type != m->type || m2->args != m->args) std::abort();
    }
    return 0;
}
