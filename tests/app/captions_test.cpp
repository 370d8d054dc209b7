#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdlib>
#include <string>
#include <utility>

#include "app/caption_fit.h"
#include "app/main_window.h"
#include "app/progress_title.h"
#include "scripted_dialogs.h"
#include "support/server_install.h"
#include "support/temp_dir.h"
#include "window_test_support.h"

namespace ksr {
namespace {

using test::PumpUntil;
using test::TextOf;

// Whether the control breaks its caption into lines, read from its own style.
bool Wraps(HWND control) {
    const LONG_PTR style = GetWindowLongPtrW(control, GWL_STYLE);
    if (_wcsicmp(test::ClassOf(control).c_str(), L"Static") == 0) {
        const LONG_PTR type = style & SS_TYPEMASK;
        return type == SS_LEFT || type == SS_CENTER || type == SS_RIGHT;
    }
    return (style & BS_MULTILINE) != 0;
}

// The caption's extent in the control's own font, laid out as the control lays it out.
SIZE Measure(HWND control) {
    RECT client{};
    GetClientRect(control, &client);
    const std::wstring text = TextOf(control);
    HDC dc = GetDC(control);
    const HGDIOBJ old =
        SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
    RECT r{0, 0, client.right, 0};
    DrawTextW(dc, text.c_str(), -1, &r,
              DT_CALCRECT | DT_NOPREFIX | (Wraps(control) ? DT_WORDBREAK : DT_SINGLELINE));
    SelectObject(dc, old);
    ReleaseDC(control, dc);
    return SIZE{r.right, r.bottom};
}

// The text the window's tooltip shows for `control`; empty when it has no tip for it.
std::wstring TipOf(HWND tooltip, HWND control) {
    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    tool.hwnd = GetParent(control);
    tool.uId = reinterpret_cast<UINT_PTR>(control);
    if (!SendMessageW(tooltip, TTM_GETTOOLINFOW, 0, reinterpret_cast<LPARAM>(&tool))) return {};
    wchar_t text[256] = {};
    tool.lpszText = text;
    SendMessageW(tooltip, TTM_GETTEXTW, 256, reinterpret_cast<LPARAM>(&tool));
    return text;
}

LONG FontHeight(HWND control) {
    LOGFONTW face{};
    GetObjectW(reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)), sizeof face,
               &face);
    return std::abs(face.lfHeight);
}

class CaptionsTest : public testing::TestWithParam<UINT> {
  protected:
    void SetUp() override {
        ASSERT_TRUE(window_.Create(SW_SHOWNOACTIVATE));
        SetDpi(GetParam());
    }
    void SetDpi(UINT dpi) {
        RECT suggested{10, 10, 500, 500};
        SendMessageW(window_.hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
    }
    bool IsCaptioned(HWND control) {
        const std::wstring cls = test::ClassOf(control);
        return _wcsicmp(cls.c_str(), L"Button") == 0 || _wcsicmp(cls.c_str(), L"Static") == 0;
    }

    test::ScriptedDialogs dialogs_;
    MainWindow window_{dialogs_};
};

TEST_P(CaptionsTest, EveryCaptionFitsOrHasATooltipWithItsText) {
    const UINT dpi = GetParam();
    int captions = 0;
    for (HWND c = GetWindow(window_.hwnd(), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
        if (!IsCaptioned(c) || TextOf(c).empty()) continue;
        ++captions;
        const std::wstring name = L"control " + std::to_wstring(GetDlgCtrlID(c));
        RECT client{};
        GetClientRect(c, &client);
        const SIZE extent = Measure(c);
        const bool fits = extent.cx <= client.right && extent.cy <= client.bottom;
        if (!fits) {
            EXPECT_EQ(TipOf(window_.Tooltip(), c), TextOf(c))
                << test::Utf8(name) << " at " << dpi << " DPI: " << extent.cx << "x" << extent.cy
                << " in " << client.right << "x" << client.bottom;
        }
        EXPECT_GE(FontHeight(c), MulDiv(7, static_cast<int>(dpi), 72))
            << test::Utf8(name) << ": no font below 7 points";
    }
    EXPECT_EQ(captions, 7) << "three buttons, two check boxes, two labels with text";
}

TEST_P(CaptionsTest, Label3ShowsItsWarningAsLargeAsItCanWithTheTextInItsTip) {
    const UINT dpi = GetParam();
    HWND label3 = window_.Control(kLabel3);
    EXPECT_EQ(TipOf(window_.Tooltip(), label3), L"\"Be cautious!\" \"");
    EXPECT_EQ(FontHeight(label3), static_cast<LONG>(MulDiv(7, static_cast<int>(dpi), 72)));
    EXPECT_FALSE(Wraps(label3)) << "one line ending in an ellipsis, not '\"Be' alone";
    EXPECT_EQ(GetWindowLongPtrW(label3, GWL_STYLE) & SS_ELLIPSISMASK, SS_ENDELLIPSIS);
}

TEST_P(CaptionsTest, FontsAndTipsFollowADpiChange) {
    const UINT dpi = GetParam();
    const UINT other = dpi == 144 ? 96 : 144;
    HWND label1 = window_.Control(kLabel1);
    const LONG here = FontHeight(label1);
    SetDpi(other);
    EXPECT_NEAR(FontHeight(label1), MulDiv(here, static_cast<int>(other), static_cast<int>(dpi)),
                1);
    SetDpi(dpi);
    EXPECT_EQ(FontHeight(label1), here);
    EXPECT_EQ(TipOf(window_.Tooltip(), window_.Control(kLabel3)), L"\"Be cautious!\" \"")
        << "tips survive being recomputed";
    EXPECT_EQ(TipOf(window_.Tooltip(), label1), L"") << "a caption in sight needs no tip";
    EXPECT_EQ(TipOf(window_.Tooltip(), window_.Control(kCommand3)), L"");
}

// Dark pixels in the upper and the lower half of what the window draws as `button`'s caption.
std::pair<int, int> InkOfCaption(HWND parent, HWND button, LRESULT* result) {
    RECT client{};
    GetClientRect(button, &client);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    info.bmiHeader.biWidth = client.right;
    info.bmiHeader.biHeight = -client.bottom;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HDC dc = CreateCompatibleDC(nullptr);
    const HGDIOBJ old = SelectObject(dc, bitmap);
    FillRect(dc, &client, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    NMCUSTOMDRAW draw{};
    draw.hdr = {button, static_cast<UINT_PTR>(GetDlgCtrlID(button)),
                static_cast<UINT>(NM_CUSTOMDRAW)};
    draw.dwDrawStage = CDDS_PREPAINT;
    draw.hdc = dc;
    draw.rc = client;
    *result = SendMessageW(parent, WM_NOTIFY, draw.hdr.idFrom, reinterpret_cast<LPARAM>(&draw));
    GdiFlush();
    std::pair<int, int> ink{0, 0};
    const auto* pixels = static_cast<const DWORD*>(bits);
    for (int y = 0; y < client.bottom; ++y) {
        for (int x = 0; x < client.right; ++x) {
            if ((pixels[y * client.right + x] & 0xFF) < 0x80) {
                ++(y < client.bottom / 2 ? ink.first : ink.second);
            }
        }
    }
    SelectObject(dc, old);
    DeleteDC(dc);
    DeleteObject(bitmap);
    return ink;
}

TEST_P(CaptionsTest, AButtonOnTwoLinesDrawsBothOfThem) {
    for (const int id : {kCommand1, kCommand3}) {
        HWND button = window_.Control(id);
        LRESULT result = 0;
        const auto [upper, lower] = InkOfCaption(window_.hwnd(), button, &result);
        if (!Wraps(button)) {
            EXPECT_EQ(result, CDRF_DODEFAULT) << id << ": one line is the button's own";
            continue;
        }
        EXPECT_EQ(result, CDRF_SKIPDEFAULT) << id;
        EXPECT_GT(upper, 0) << id << ": first line";
        EXPECT_GT(lower, 0) << id << ": second line";
    }
    EXPECT_TRUE(Wraps(window_.Control(kCommand1)));
    EXPECT_FALSE(Wraps(window_.Control(kCommand3)));
}

INSTANTIATE_TEST_SUITE_P(Dpi, CaptionsTest, testing::Values(96u, 120u, 144u));

TEST(FitCaption, TakesTheLargestSizeThatShowsTheWholeCaption) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, 96);
    const LOGFONTW& base = metrics.lfMessageFont;
    HDC dc = GetDC(nullptr);
    const ControlSpec roomy{1, L"Roomy", ControlKind::Button, L"OK", 0, 0, 2000, 375, true};
    const CaptionFit ok = FitCaption(dc, base, roomy, 96);
    EXPECT_EQ(ok.fontHeight, base.lfHeight);
    EXPECT_TRUE(ok.whole);
    EXPECT_FALSE(ok.wrap) << "one line where one line fits";

    const ControlSpec tight{
        2, L"Tight", ControlKind::Button, L"Import public documents", 0, 0, 1300, 375, true};
    const CaptionFit two = FitCaption(dc, base, tight, 96);
    EXPECT_LE(std::abs(two.fontHeight), std::abs(base.lfHeight));
    EXPECT_GE(std::abs(two.fontHeight), std::abs(MinimumFontHeight(96)));

    const wchar_t* longText = L"far too many words for so small a control to hold at all";
    const ControlSpec button{3, L"B", ControlKind::Button, longText, 0, 0, 600, 375, true};
    const CaptionFit cut = FitCaption(dc, base, button, 96);
    EXPECT_EQ(cut.fontHeight, MinimumFontHeight(96)) << "the smallest legible size shows most";
    EXPECT_FALSE(cut.whole);
    EXPECT_TRUE(cut.wrap);
    const ControlSpec label{4, L"L", ControlKind::Label, longText, 0, 0, 600, 375, true};
    EXPECT_FALSE(FitCaption(dc, base, label, 96).wrap) << "a cut label keeps to one line";

    const ControlSpec empty{5, L"E", ControlKind::Label, L"", 0, 0, 10, 10, true};
    EXPECT_TRUE(FitCaption(dc, base, empty, 96).whole);
    ReleaseDC(nullptr, dc);
}

TEST(ProgressTitle, PutsAPercentageInFrontOfTheTitle) {
    EXPECT_EQ(ProgressTitle(0.37, L"导入"), L"37% \u2013 导入");
    EXPECT_EQ(ProgressTitle(0, L"T"), L"0% \u2013 T");
    EXPECT_EQ(ProgressTitle(1, L"T"), L"100% \u2013 T");
    EXPECT_EQ(ProgressTitle(9.99, L"T"), L"999% \u2013 T") << "files that grew during the run";
    EXPECT_EQ(ProgressTitle(10, L"T"), L"T");
}

TEST(ProgressTitle, ShowsTheShareInWholeHundredths) {
    EXPECT_EQ(ProgressText(0.3), L"30%");
    EXPECT_EQ(ProgressText(0.004), L"0%");
    EXPECT_EQ(ProgressText(0.005), L"1%") << "rounded to the nearest";
    EXPECT_EQ(ProgressText(0.994), L"99%");
    EXPECT_EQ(ProgressText(0.996), L"100%");
    EXPECT_EQ(ProgressText(1), L"100%");
    EXPECT_EQ(ProgressText(1.5), L"150%");
    EXPECT_EQ(ProgressPercent(0.371), 37);
}

TEST(WindowTitle, ShowsTheRunsPercentageAndThenItsOldText) {
    test::ServerInstall server;
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    test::ScriptedDialogs dialogs;
    MainWindow window(dialogs, server.Registration());
    ASSERT_TRUE(window.Create(SW_SHOWNOACTIVATE));
    EXPECT_EQ(TextOf(window.hwnd()), kAppTitle);
    SetWindowTextW(window.hwnd(), L"窗口");

    const std::wstring root = server.sources + L"\\docs";
    for (int i = 0; i < 200; ++i) {
        test::WriteBytes(root + L"\\f" + std::to_wstring(i) + L".txt", std::string(2000, 'x'));
    }
    SetWindowTextW(window.Control(kText1), root.c_str());
    SendMessageW(window.Control(kCommand3), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(window.Control(kLabel2)).empty(); }));
    EXPECT_EQ(TextOf(window.hwnd()), TextOf(window.Control(kLabel2)) + L" \u2013 窗口");
    ASSERT_TRUE(PumpUntil([&] { return !window.IsRunning(); }));
    EXPECT_EQ(TextOf(window.hwnd()), L"窗口");
    EXPECT_EQ(dialogs.asked.size(), 1u);
}

}  // namespace
}  // namespace ksr
