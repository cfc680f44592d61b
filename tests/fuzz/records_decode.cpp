// Feeds arbitrary bytes to the record decoders: any input either decodes or throws DecodeError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "session/AppSettings.hpp"
#include "session/Records.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto attempt = [&](auto tag) {
        using T = decltype(tag);
        try {
            auto v = fv::decode<T>(text);
            (void)v.toJson().dump(-1, ' ', false, fv::json::error_handler_t::replace);
        } catch (const fv::DecodeError&) {
        }
    };
    attempt(fv::RequestsResponse{});
    attempt(fv::MessagesResponse{});
    attempt(fv::TracksResponse{});
    attempt(fv::DJEvent{});
    attempt(fv::EventPreferences{});
    attempt(fv::PlaylistsResponse{});
    attempt(fv::DJNotificationsResponse{});
    try {
        auto s = fv::AppSettings::fromJson(fv::jsonx::parse(text));
        (void)s.toJson().dump(-1, ' ', false, fv::json::error_handler_t::replace);
    } catch (const fv::DecodeError&) {
    }
    return 0;
}
