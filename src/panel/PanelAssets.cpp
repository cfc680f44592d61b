#include "panel/PanelAssets.hpp"

#include <vector>

namespace fv::panel {

// Defined in the generated file: the files of src/panel/web/ by path ("/panel.js").
struct EmbeddedFile {
    const char* path;
    const char* data;
    size_t size;
};
extern const EmbeddedFile embeddedPanelFiles[];
extern const size_t embeddedPanelFileCount;

namespace {

std::string_view typeOf(std::string_view name) {
    auto ends = [&](std::string_view ext) {
        return name.size() >= ext.size() && name.substr(name.size() - ext.size()) == ext;
    };
    if (ends(".html")) return "text/html; charset=utf-8";
    if (ends(".js")) return "text/javascript; charset=utf-8";
    if (ends(".css")) return "text/css; charset=utf-8";
    if (ends(".svg")) return "image/svg+xml";
    return "application/octet-stream";
}

}  // namespace

const PanelAsset* findPanelAsset(std::string_view path) {
    static const std::vector<PanelAsset> table = [] {
        std::vector<PanelAsset> t;
        for (size_t i = 0; i < embeddedPanelFileCount; ++i) {
            const EmbeddedFile& f = embeddedPanelFiles[i];
            std::string_view path(f.path);
            std::string_view body(f.data, f.size);
            if (path == "/index.html") t.push_back({"/", typeOf(path), body});
            t.push_back({path, typeOf(path), body});
        }
        return t;
    }();
    for (const auto& a : table)
        if (a.path == path) return &a;
    return nullptr;
}

}  // namespace fv::panel
