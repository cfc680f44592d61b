#pragma once
#include <string>
#include <string_view>

namespace fv {

// RFC 3986 percent-encoding for a query value or a path segment: everything but the unreserved
// characters (letters, digits, "-", ".", "_", "~") becomes %XX of its UTF-8 bytes.
std::string percentEncode(std::string_view text);

}  // namespace fv
