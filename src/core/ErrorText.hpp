#pragma once
#include <string>
#include <string_view>

namespace fv {

// The German form of an error text for the DJ's eyes. The REST client's errors, the HTTP and
// WebSocket layers and the system's socket errors speak English (the log keeps them so); known
// phrases are translated wherever they appear in the text, anything else stays as it is.
std::string germanError(std::string_view text);

}  // namespace fv
