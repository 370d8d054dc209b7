#include "app/layout.h"

namespace ksr {

int TwipsToPixels(int twips, UINT dpi) {
    return MulDiv(twips, static_cast<int>(dpi), 1440);
}

RECT ControlRect(const ControlSpec& control, UINT dpi) {
    const int left = TwipsToPixels(control.left, dpi);
    const int top = TwipsToPixels(control.top, dpi);
    return RECT{left, top, left + TwipsToPixels(control.width, dpi),
                top + TwipsToPixels(control.height, dpi)};
}

}  // namespace ksr
