#pragma once
// Serato's own files: crates (tagged fields, UTF-16 big-endian text) and history sessions. Pure
// code: bytes in, paths and texts out, and the crate writer's exact bytes.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace fv {

// The header text of crates written here; readers accept the older "/Serato ScratchLive Crate" too.
inline constexpr std::string_view seratoCrateVersion = "1.0/Serato ScratchLive Crate";

// A file that is no crate. The text is German.
class SeratoFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The `vrsn` field, then per path one `otrk` holding one `ptrk`. Paths that are not UTF-8 are left out.
std::string seratoCrateBytes(const std::vector<std::string>& paths);
// The track paths in file order: every `ptrk` field, whatever frames it. A file that does not
// begin with a `vrsn` field throws SeratoFileError (what names it).
std::vector<std::string> seratoCratePaths(std::string_view bytes, const std::string& what);
// The text of the first field with the 32-bit tag (scanning byte by byte), control characters
// trimmed; none without a hit or for a value that is no UTF-16.
std::optional<std::string> seratoFindTextField(std::string_view bytes, uint32_t tag);

struct SeratoPlayed {
    std::string title, artist;
};
// The last entry ("oent") of a history session: title (field 6) and artist (field 7).
std::optional<SeratoPlayed> seratoLastPlayed(std::string_view sessionBytes);

}  // namespace fv
