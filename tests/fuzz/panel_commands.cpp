// Feeds arbitrary bytes to the control panel's message decoding: every message is a command or a
// German refusal, never a crash; a decoded command keeps the limits it promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string_view>

#include "panel/PanelProtocol.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    try {
        fv::panel::PanelCommand c = fv::panel::decodeCommand(text);
        if (c.ids.size() > fv::panel::maxIdsPerCommand || c.text.size() > fv::panel::maxTextBytes) std::abort();
        std::set<int64_t> seen;
        for (int64_t id : c.ids)
            if (id <= 0 || !seen.insert(id).second) std::abort();
        if (!c.args.is_object()) std::abort();
        (void)c.args.dump(-1, ' ', false, fv::json::error_handler_t::replace);
    } catch (const fv::panel::PanelCommandError& e) {
        if (std::string_view(e.what()).empty()) std::abort();
        (void)fv::panel::resultMessage(e.req(), false, e.what());
    }
    return 0;
}
