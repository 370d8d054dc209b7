#pragma once

#include <windows.h>

#include "app/layout.h"

namespace ksr {

// How a control shows its caption at one DPI.
struct CaptionFit {
    int fontHeight = 0;  // lfHeight of the control's font: minus the character height in pixels
    bool wrap = false;   // the caption breaks into lines at word boundaries
    bool whole = true;   // every character is in sight; otherwise a tooltip carries the text
};

// lfHeight of the smallest font still legible, 7 points, at `dpi`.
int MinimumFontHeight(UINT dpi);

// The part of a control of `kind` with client rectangle `client` that its caption may use:
// a push button keeps its edge clear, a check box its box and the gap after it.
RECT CaptionArea(ControlKind kind, const RECT& client, UINT dpi);

// The DrawText flags that lay a caption out the way the control draws it.
UINT CaptionFormat(ControlKind kind, bool wrap);

// Chooses the font of a control from `base` (the window's font at `dpi`) down to 7 points:
// the largest size at which the caption fits whole, on one line or, for buttons, check boxes
// and labels, broken into as many lines as the height holds. When no size fits, the
// smallest one shows the most of it and the result is not whole. `dc` measures the text.
CaptionFit FitCaption(HDC dc, const LOGFONTW& base, const ControlSpec& control, UINT dpi);

}  // namespace ksr
