#pragma once
// The page's files, compiled into the program from src/panel/web/ (the build turns each file into
// a constant; see EmbedAssets.cmake).
#include <string_view>

namespace fv::panel {

struct PanelAsset {
    std::string_view path;  // "/", "/panel.js", ...
    std::string_view contentType;
    std::string_view body;
};

// The file served at `path`, or nothing.
const PanelAsset* findPanelAsset(std::string_view path);

}  // namespace fv::panel
