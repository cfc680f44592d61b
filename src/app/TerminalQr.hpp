#pragma once
// A QR code drawn with block characters, two modules rows per terminal line, for a phone to scan
// from the screen.
#include <optional>
#include <string>

namespace fv::app {

// The lines of the code with a quiet zone around it; nothing when the text does not fit a code.
// With colours the code is black on white whatever the terminal's own colours are; without, dark
// modules are blocks (for a light terminal or a file).
std::optional<std::string> terminalQr(const std::string& text, bool colours);

}  // namespace fv::app
