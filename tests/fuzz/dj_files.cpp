// Serato crates and history sessions, VirtualDJ folder lists and libraries: any bytes give
// paths, texts or a clean error, never a crash.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "djsoftware/SeratoFiles.hpp"
#include "djsoftware/VDJFiles.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        auto paths = fv::seratoCratePaths(bytes, "fuzz");
        // What was read writes back to a crate that reads the same.
        if (fv::seratoCratePaths(fv::seratoCrateBytes(paths), "fuzz") != paths) __builtin_trap();
    } catch (const fv::SeratoFileError&) {
    }
    (void)fv::seratoLastPlayed(bytes);
    (void)fv::seratoFindTextField(bytes, 6);
    fv::VDJFolderParser folder;
    bool parsed = true;
    try {
        folder.parse(bytes, "fuzz");
    } catch (const fv::VDJFileError&) {
        parsed = false;
    }
    if (parsed) {
        // What was read is written as a list that reads back the same.
        fv::VDJFolderParser again;
        try {
            again.parse(fv::vdjFolderDocument(folder.songs), "fuzz");
        } catch (const fv::VDJFileError&) {
            __builtin_trap();
        }
        if (again.songs.size() > folder.songs.size()) __builtin_trap();
    }
    try {
        fv::VDJDatabaseParser db;
        db.parse(bytes, "fuzz");
    } catch (const fv::VDJFileError&) {
    }
    return 0;
}
