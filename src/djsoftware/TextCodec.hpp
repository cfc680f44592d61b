#pragma once
// Strict UTF-16 big-endian conversion for other programs' files, over the program's codec: a
// text that is not well-formed gives nothing rather than a repaired text, so a damaged entry is
// skipped and never written back changed.
#include <optional>
#include <string>
#include <string_view>

#include "core/Utf8.hpp"

namespace fv {

// Whether the text can stand in an XML 1.0 document: valid UTF-8 and no control characters
// other than tab, line feed and carriage return.
bool isXmlText(std::string_view s);
// None for text that is not valid UTF-8.
std::optional<std::string> utf8ToUtf16BE(std::string_view s);
// None for an odd length or an unpaired surrogate.
std::optional<std::string> utf16BEToUtf8(std::string_view bytes);

}  // namespace fv
