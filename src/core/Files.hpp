#pragma once
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include <sys/types.h>

namespace fv {

namespace fs = std::filesystem;

// Writes the whole file through a temporary file in the same folder (fsync, rename), so readers
// see either the old or the new content, never a torn one. Throws std::system_error on failure
// and leaves the old file untouched then.
void writeFileAtomically(const fs::path& path, std::string_view bytes, mode_t mode = 0644);

// The whole file, or nothing when it cannot be read.
std::optional<std::string> readFile(const fs::path& path);

bool fileExists(const fs::path& p);
bool isDirectory(const fs::path& p);
bool isReadable(const fs::path& p);

}  // namespace fv
