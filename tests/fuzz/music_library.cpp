// The Music library reader takes any bytes: a library, or a clean AppleMusicError; and whatever
// plist it reads writes back as a document it reads again.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "djsoftware/AppleMusic.hpp"
#include "djsoftware/Plist.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    fv::ITunesLibraryService lib("fuzz");
    try {
        lib.load(bytes);
        for (const auto& p : lib.playlists()) (void)lib.tracks(p.id);
        (void)lib.tracks(fv::ITunesLibraryService::allTracks);
        (void)lib.libraryTracks();
    } catch (const fv::AppleMusicError&) {
    }
    fv::PlistValue value;
    try {
        value = fv::PlistReader({}, {}).read(bytes);
    } catch (const fv::PlistError&) {
        return 0;
    }
    try {
        (void)fv::PlistReader({}, {}).read(fv::plistDocument(value));
    } catch (const fv::PlistError&) {
        __builtin_trap();
    }
    return 0;
}
