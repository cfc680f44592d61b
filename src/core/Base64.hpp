#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace fv {

// Standard alphabet with padding, as JSON encoders write binary data.
std::string base64Encode(std::string_view bytes);
// Nothing when the text is not valid Base64.
std::optional<std::string> base64Decode(std::string_view text);

}  // namespace fv
