#include "app/qr_code.h"

#include <qrencode.h>

namespace {

const int quiet_zone = 2;  // modules of light around the code

}  // namespace

std::string qr_code_text(const std::string& text) {
    if (text.empty()) return "";
    QRcode* code = QRcode_encodeString(text.c_str(), 0, QR_ECLEVEL_L, QR_MODE_8, 1);
    if (code == nullptr) return "";
    const int width = code->width;
    // Light is a block, dark a blank: terminals are mostly light on dark.
    auto dark = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= width) return false;
        return (code->data[y * width + x] & 1) != 0;
    };
    std::string lines;
    for (int y = -quiet_zone; y < width + quiet_zone; y += 2) {
        for (int x = -quiet_zone; x < width + quiet_zone; ++x) {
            const bool top = !dark(x, y);
            const bool bottom = !dark(x, y + 1);
            lines += top && bottom ? "\u2588" : top ? "\u2580" : bottom ? "\u2584" : " ";
        }
        lines += '\n';
    }
    QRcode_free(code);
    return lines;
}
