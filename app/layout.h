#pragma once

#include <windows.h>

#include <array>

namespace ksr {

enum class ControlKind { Button, TextBox, Label, CheckBox, ListBox };

// One control of the main window, positions in twips (1440 to the inch).
struct ControlSpec {
    int id;
    const wchar_t* name;
    ControlKind kind;
    const wchar_t* text;
    int left, top, width, height;
    bool reachable;  // false for the controls kept outside the operator's reach
};

enum ControlId {
    kCommand1 = 101,
    kText1,
    kText2,
    kCommand2,
    kCommand3,
    kText3,
    kLabel1,
    kLabel2,
    kLabel3,
    kCheck1,
    kCheck2,
    kList1,
};

// The controls in tab order.
inline constexpr std::array<ControlSpec, 12> kControls = {{
    {kCommand1, L"Command1", ControlKind::Button, L"Import public documents", 3240, 360, 1300, 375,
     true},
    {kText1, L"Text1", ControlKind::TextBox, L"", 120, 360, 3015, 375, true},
    {kText2, L"Text2", ControlKind::TextBox, L"", -10000, 960, 3015, 375, false},
    {kCommand2, L"Command2", ControlKind::Button, L"导入网络硬盘", -10000, 960, 1300, 375, false},
    {kCommand3, L"Command3", ControlKind::Button, L"Start importing", 1320, 3360, 2175, 375, true},
    {kText3, L"Text3", ControlKind::TextBox, L"Text3", -1000, 1800, 375, 270, false},
    {kLabel1, L"Label1", ControlKind::Label, L"Do not place the file in the root directory", 240,
     960, 3975, 375, true},
    {kLabel2, L"Label2", ControlKind::Label, L"", 1680, 1560, 1095, 375, true},
    {kLabel3, L"Label3", ControlKind::Label, L"\"Be cautious!\" \"", 3600, 3000, 705, 240, true},
    {kCheck1, L"Check1", ControlKind::CheckBox, L"Delete the original file after importing", 1440,
     2880, 1935, 375, true},
    {kCheck2, L"Check2", ControlKind::CheckBox,
     L"The selected folder is the root directory of the public document", 1440, 2300, 3135, 375,
     true},
    {kList1, L"List1", ControlKind::ListBox, L"", -1000, 0, 135, 255, false},
}};

inline constexpr int kClientWidthTwips = 4785;
inline constexpr int kClientHeightTwips = 4080;
inline constexpr COLORREF kLabel3Color = RGB(255, 0, 0);

// Twips to pixels at `dpi` (15 twips a pixel at 96 DPI), rounded to the nearest pixel.
int TwipsToPixels(int twips, UINT dpi);

// A control's rectangle in client pixels at `dpi`.
RECT ControlRect(const ControlSpec& control, UINT dpi);

}  // namespace ksr
