#pragma once
#include <string>

namespace fv {
// A random (version 4) UUID in upper-case text form.
std::string makeUuid();
}  // namespace fv
