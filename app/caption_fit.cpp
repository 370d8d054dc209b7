#include "app/caption_fit.h"

#include <algorithm>
#include <cstdlib>

#include "util/handles.h"

namespace ksr {
namespace {

bool HasCaption(ControlKind kind) {
    return kind == ControlKind::Button || kind == ControlKind::CheckBox ||
           kind == ControlKind::Label;
}

// Whether `text` in `font` lies within `area` when laid out with `format`.
bool Fits(HDC dc, HFONT font, const wchar_t* text, UINT format, const RECT& area) {
    const int width = area.right - area.left;
    const int height = area.bottom - area.top;
    RECT measured{0, 0, width, 0};
    {
        const selected_object selected(dc, font);
        DrawTextW(dc, text, -1, &measured, format | DT_CALCRECT);
    }
    return measured.right <= width && measured.bottom <= height;
}

}  // namespace

int MinimumFontHeight(UINT dpi) {
    return -MulDiv(7, static_cast<int>(dpi), 72);
}

RECT CaptionArea(ControlKind kind, const RECT& client, UINT dpi) {
    const auto scaled = [dpi](int pixelsAt96) {
        return MulDiv(pixelsAt96, static_cast<int>(dpi), 96);
    };
    RECT area = client;
    switch (kind) {
        case ControlKind::Button:
            InflateRect(&area, -scaled(3), -scaled(2));
            break;
        case ControlKind::CheckBox:
            area.left += GetSystemMetricsForDpi(SM_CXMENUCHECK, dpi) + scaled(4);
            break;
        default:
            break;
    }
    area.right = std::max(area.right, area.left);
    area.bottom = std::max(area.bottom, area.top);
    return area;
}

UINT CaptionFormat(ControlKind kind, bool wrap) {
    UINT format = DT_EXPANDTABS | (wrap ? DT_WORDBREAK : DT_SINGLELINE);
    // Labels are SS_NOPREFIX: they draw '&' as it is, where buttons underline the next letter.
    if (kind == ControlKind::Label) format |= DT_NOPREFIX;
    return format;
}

CaptionFit FitCaption(HDC dc, const LOGFONTW& base, const ControlSpec& control, UINT dpi) {
    CaptionFit fit{base.lfHeight, false, true};
    if (!HasCaption(control.kind) || *control.text == L'\0') return fit;

    const RECT rect = ControlRect(control, dpi);
    const RECT area =
        CaptionArea(control.kind, RECT{0, 0, rect.right - rect.left, rect.bottom - rect.top}, dpi);
    const int largest = -std::abs(base.lfHeight);
    const int smallest = std::max(MinimumFontHeight(dpi), largest);
    for (int height = largest; height <= smallest; ++height) {
        LOGFONTW face = base;
        face.lfHeight = height;
        const unique_hfont font(CreateFontIndirectW(&face));
        for (const bool wrap : {false, true}) {
            if (Fits(dc, font.get(), control.text, CaptionFormat(control.kind, wrap), area)) {
                return CaptionFit{height, wrap, true};
            }
        }
    }
    // A button or check box broken into lines loses at worst a sliver of its first and last
    // line; a label that cannot show all of it keeps to one line, which ends in an ellipsis.
    return CaptionFit{smallest, control.kind != ControlKind::Label, false};
}

}  // namespace ksr
