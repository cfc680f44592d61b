#include "app/TerminalQr.hpp"

#include <memory>

#include <qrencode.h>

namespace fv::app {

std::optional<std::string> terminalQr(const std::string& text, bool colours) {
    std::unique_ptr<QRcode, void (*)(QRcode*)> code(QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_M, QR_MODE_8, 1),
                                                    QRcode_free);
    if (!code) return std::nullopt;
    constexpr int quiet = 2;  // enough for phone cameras; the terminal around it is not a pattern
    const int width = code->width;
    const int size = width + 2 * quiet;
    auto dark = [&](int x, int y) {
        x -= quiet;
        y -= quiet;
        if (x < 0 || y < 0 || x >= width || y >= width) return false;
        return (code->data[y * width + x] & 1) != 0;
    };
    std::string out;
    for (int y = 0; y < size; y += 2) {
        if (colours) out += "\x1b[30;47m";
        for (int x = 0; x < size; ++x) {
            bool top = dark(x, y), bottom = y + 1 < size && dark(x, y + 1);
            out += top && bottom ? "█" : top ? "▀" : bottom ? "▄" : " ";
        }
        if (colours) out += "\x1b[0m";
        out += '\n';
    }
    return out;
}

}  // namespace fv::app
