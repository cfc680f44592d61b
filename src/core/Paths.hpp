#pragma once
#include <filesystem>
#include <string>

namespace fv {

// The user's real home directory: the password database entry, $HOME only when that is missing.
std::filesystem::path realHomeDirectory();

// XDG base folders: the variable when set to an absolute path, else the usual folder under $HOME.
std::filesystem::path xdgConfigHome();
std::filesystem::path xdgDataHome();
std::filesystem::path xdgStateHome();

// Creates the folder (and its parents) when missing; returns it.
std::filesystem::path ensureDirectory(const std::filesystem::path& p);

}  // namespace fv
