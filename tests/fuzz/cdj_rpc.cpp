// Feeds arbitrary bytes to the RPC call parser, the TCP record assembler and the three programs of
// the file service. Any input must be answered or dropped; the files served are never changed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cdjlink/CDJNfsServer.hpp"
#include "cdjlink/CDJRpc.hpp"

using namespace fv::cdj;

namespace {

struct World {
    std::filesystem::path dir;
    std::vector<CDJNfsFile> files;
    std::unique_ptr<CDJNfsHandler> handler;
    CDJNfsHandler::Handle known{};

    World() {
        dir = std::filesystem::temp_directory_path() / ("fuzz-cdj-rpc-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "a.mp3", std::ios::binary) << std::string(40000, 'a');
        std::ofstream(dir / "b.aif", std::ios::binary) << "bbb";
        files = {{1, "1.mp3", (dir / "a.mp3").string()},
                 {2, "2.aiff", (dir / "b.aif").string()},
                 {3, "3.wav", (dir / "missing.wav").string()}};
        CDJNfsHandler::Config config;
        config.exportAddress = "10.99.0.1";
        config.dirTime = 1;
        config.verbose = [] { return true; };
        handler = std::make_unique<CDJNfsHandler>(
            config, [this] { return files; }, [](const std::string&, const std::string&) {});
        // One handle is known, as after a player's LOOKUP.
        XdrWriter args;
        args.fixedOpaque(CDJNfsHandler::Handle{});
        args.string("1.mp3");
        handler->handle(CDJNfsEndpoint::nfs, rpcCallMessage(1, kRpcNfsProgram, 2, 4, args.bytes()));
        known = CDJNfsHandler::handleFor("/1.mp3");
    }
};

World& world() {
    static World w;
    return w;
}

void answer(CDJNfsEndpoint ep, RpcByteView message) {
    auto reply = world().handler->handle(ep, message);
    if (reply && reply->size() % 4 != 0) std::abort();  // every XDR answer is whole words
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    World& w = world();
    const uint8_t mode = data[0];
    RpcByteView rest(data + 1, size - 1);
    const auto ep = static_cast<CDJNfsEndpoint>(mode % 3);

    switch ((mode >> 2) % 3) {
        case 0:  // a raw datagram
            (void)parseRpcCall(rest);
            answer(ep, rest);
            break;
        case 1: {  // a TCP stream, cut into segments at the positions the input names
            RpcRecordAssembler records(64 * 1024);
            std::vector<RpcBytes> out;
            size_t pos = 0;
            size_t step = 1 + (mode >> 4);
            while (pos < rest.size() && !records.failed()) {
                const size_t n = std::min(step, rest.size() - pos);
                records.feed(rest.subspan(pos, n), out);
                pos += n;
                step = step * 3 % 97 + 1;
            }
            for (const RpcBytes& r : out) answer(CDJNfsEndpoint::nfs, r);
            break;
        }
        default: {  // a well-formed call header, so the arguments reach the procedures
            if (rest.size() < 2) break;
            static constexpr uint32_t programs[] = {kRpcPortmapProgram, kRpcMountProgram, kRpcNfsProgram, 100021};
            const uint32_t program = programs[rest[0] % 4];
            const uint32_t version = (rest[0] >> 2) % 4;
            const uint32_t procedure = rest[1] % 20;
            std::vector<uint8_t> args(rest.begin() + 2, rest.end());
            // Half the time the arguments start with the known handle.
            if ((rest[0] & 0x80) && args.size() >= 32) std::copy(w.known.begin(), w.known.end(), args.begin());
            answer(ep, rpcCallMessage(7, program, version, procedure, args));
            break;
        }
    }
    // Nothing written: the served file keeps its size.
    std::error_code ec;
    if (std::filesystem::file_size(w.dir / "a.mp3", ec) != 40000) std::abort();
    return 0;
}
