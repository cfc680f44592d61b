// Feeds arbitrary text to the realtime channel's frame handling: every frame gives actions or
// none, never an exception or a crash, and the typed payloads survive re-encoding.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>

#include "session/RealtimeProtocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const auto& action : fv::realtime::handleFrame(text)) {
        if (const auto* ev = std::get_if<fv::realtime::Event>(&action)) {
            if (const auto* r = std::get_if<fv::realtime::RequestsUpdated>(ev))
                for (const auto& m : r->requests) (void)m.toJson().dump(-1, ' ', false, fv::json::error_handler_t::replace);
            if (const auto* o = std::get_if<fv::realtime::ObjectEvent>(ev))
                (void)o->object.dump(-1, ' ', false, fv::json::error_handler_t::replace);
        }
    }
    if (size > 2 && text.substr(0, 2) == "42") (void)fv::realtime::decodeEvent(text.substr(2));
    (void)fv::realtime::webSocketURL(text);
    return 0;
}
