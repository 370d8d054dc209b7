#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <iterator>
#include <thread>
#include <vector>

#include "app/layout.h"
#include "app/main_window.h"
#include "app/message_texts.h"
#include "scripted_dialogs.h"
#include "support/server_install.h"
#include "window_test_support.h"

namespace ksr {
namespace {

using test::PumpUntil;
using test::TextOf;

// What the operator sees and reaches, and what is kept out of sight.
constexpr int kInSight[] = {kCommand1, kText1,  kCommand3, kLabel1,
                            kLabel2,   kLabel3, kCheck1,   kCheck2};
constexpr int kOutOfSight[] = {kText2, kCommand2, kText3, kList1};
// Where Tab takes the operator, from the first control on.
constexpr int kTabOrder[] = {kCommand1, kText1, kCommand3, kCheck1, kCheck2};

bool Overlap(const RECT& a, const RECT& b) {
    RECT both{};
    return IntersectRect(&both, &a, &b) != FALSE;
}

bool Inside(const RECT& inner, const RECT& outer) {
    return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
           inner.bottom <= outer.bottom;
}

class MainWindowTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(window_.Create(SW_SHOWNOACTIVATE)); }
    HWND Ctl(int id) { return window_.Control(id); }
    void Click(int id) { SendMessageW(Ctl(id), BM_CLICK, 0, 0); }
    RECT Client() {
        RECT client{};
        GetClientRect(window_.hwnd(), &client);
        return client;
    }
    void SetDpi(UINT dpi) {
        RECT suggested{10, 10, 500, 500};
        SendMessageW(window_.hwnd(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                     reinterpret_cast<LPARAM>(&suggested));
    }

    // Every control the operator needs lies whole inside the client area, clear of the others;
    // the rest lie outside it, out of Tab's reach; Tab visits the inputs in reading order.
    void CheckLayout(UINT dpi) {
        const RECT client = Client();
        for (size_t i = 0; i < std::size(kInSight); ++i) {
            const RECT r = test::ClientRectOf(Ctl(kInSight[i]));
            EXPECT_LT(r.left, r.right) << kInSight[i] << " at " << dpi;
            EXPECT_LT(r.top, r.bottom) << kInSight[i] << " at " << dpi;
            EXPECT_TRUE(Inside(r, client)) << kInSight[i] << " at " << dpi;
            for (size_t j = i + 1; j < std::size(kInSight); ++j) {
                EXPECT_FALSE(Overlap(r, test::ClientRectOf(Ctl(kInSight[j]))))
                    << kInSight[i] << " and " << kInSight[j] << " at " << dpi;
            }
        }
        for (const int id : kOutOfSight) {
            EXPECT_FALSE(Overlap(test::ClientRectOf(Ctl(id)), client)) << id << " at " << dpi;
            EXPECT_FALSE(GetWindowLongPtrW(Ctl(id), GWL_STYLE) & WS_TABSTOP) << id;
        }
        HWND at = Ctl(kTabOrder[0]);
        for (size_t i = 1; i <= std::size(kTabOrder); ++i) {
            at = GetNextDlgTabItem(window_.hwnd(), at, FALSE);
            EXPECT_EQ(GetDlgCtrlID(at), kTabOrder[i % std::size(kTabOrder)]) << "Tab " << i;
        }
    }

    // The controls' rectangles and the client area, in pixels.
    std::vector<RECT> Rects() {
        std::vector<RECT> rects{Client()};
        for (const int id : kInSight) rects.push_back(test::ClientRectOf(Ctl(id)));
        return rects;
    }

    test::ScriptedDialogs dialogs_;
    MainWindow window_{dialogs_};
};

TEST_F(MainWindowTest, LayoutAt96Dpi) {
    CheckLayout(96);
    EXPECT_EQ(IsDlgButtonChecked(window_.hwnd(), kCheck1), BST_UNCHECKED);
    EXPECT_EQ(IsDlgButtonChecked(window_.hwnd(), kCheck2), BST_UNCHECKED);
    const LONG_PTR check = GetWindowLongPtrW(Ctl(kCheck1), GWL_STYLE) & BS_TYPEMASK;
    EXPECT_EQ(check, BS_AUTOCHECKBOX);
    EXPECT_FALSE(GetWindowLongPtrW(Ctl(kText2), GWL_STYLE) & WS_TABSTOP);
    EXPECT_FALSE(GetWindowLongPtrW(Ctl(kCommand2), GWL_STYLE) & WS_TABSTOP);
    EXPECT_TRUE(GetWindowLongPtrW(Ctl(kCommand3), GWL_STYLE) & WS_TABSTOP);
    EXPECT_EQ(_wcsicmp(test::ClassOf(Ctl(kText1)).c_str(), L"Edit"), 0);
    EXPECT_EQ(_wcsicmp(test::ClassOf(Ctl(kList1)).c_str(), L"ListBox"), 0);
}

TEST_F(MainWindowTest, LayoutFollowsTheMonitorsDpi) {
    const std::vector<RECT> at96 = Rects();
    SetDpi(144);
    CheckLayout(144);
    // Everything grows by half again, give or take the rounding of a pixel.
    const std::vector<RECT> at144 = Rects();
    ASSERT_EQ(at144.size(), at96.size());
    for (size_t i = 0; i < at96.size(); ++i) {
        EXPECT_NEAR(at144[i].left, at96[i].left * 1.5, 2) << i;
        EXPECT_NEAR(at144[i].top, at96[i].top * 1.5, 2) << i;
        EXPECT_NEAR(at144[i].right, at96[i].right * 1.5, 2) << i;
        EXPECT_NEAR(at144[i].bottom, at96[i].bottom * 1.5, 2) << i;
    }
    SetDpi(96);
    CheckLayout(96);
    const std::vector<RECT> back = Rects();
    for (size_t i = 0; i < at96.size(); ++i) {
        EXPECT_TRUE(EqualRect(&back[i], &at96[i])) << "back at 96 DPI as it was: " << i;
    }
}

TEST_F(MainWindowTest, Label3IsRed) {
    HDC dc = CreateCompatibleDC(nullptr);
    SendMessageW(window_.hwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(Ctl(kLabel3)));
    EXPECT_EQ(GetTextColor(dc), RGB(255, 0, 0));
    SetTextColor(dc, RGB(0, 0, 0));
    SendMessageW(window_.hwnd(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(Ctl(kLabel1)));
    EXPECT_EQ(GetTextColor(dc), RGB(0, 0, 0)) << "only Label3 is red";
    DeleteDC(dc);
}

TEST_F(MainWindowTest, PickedFoldersReachTheBoxes) {
    dialogs_.folders = {L"C:\\文档\\a+b", L"C:\\plain\\path", L"", L"D:\\网络"};
    Click(kCommand1);
    EXPECT_EQ(TextOf(Ctl(kText1)), L"C:\\文档\\a+b") << "shown as picked";
    Click(kCommand1);
    EXPECT_EQ(TextOf(Ctl(kText1)), L"C:\\plain\\path");
    Click(kCommand1);
    EXPECT_EQ(TextOf(Ctl(kText1)), L"") << "a cancel clears the earlier choice";
    SendMessageW(window_.hwnd(), WM_COMMAND, MAKEWPARAM(kCommand2, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Ctl(kCommand2)));
    EXPECT_EQ(TextOf(Ctl(kText2)), L"D:\\网络");
    EXPECT_EQ(dialogs_.pickerTitles,
              (std::vector<std::wstring>{L"请选择公共文档的路径", L"请选择公共文档的路径",
                                         L"请选择公共文档的路径", L"请选择网络硬盘的路径"}));
}

TEST_F(MainWindowTest, NoToTheDeleteQuestionStartsNothing) {
    SendMessageW(Ctl(kCheck1), BM_SETCHECK, BST_CHECKED, 0);
    SetWindowTextW(Ctl(kText1), L"C:\\somewhere");
    dialogs_.answer = [](const auto&) { return IDNO; };
    Click(kCommand3);
    ASSERT_EQ(dialogs_.asked.size(), 1u);
    EXPECT_EQ(dialogs_.asked[0].text, L"导入后是否删除原文件!");
    EXPECT_EQ(dialogs_.asked[0].caption, L"操作提示");
    EXPECT_EQ(dialogs_.asked[0].type,
              static_cast<UINT>(MB_YESNO | MB_DEFBUTTON1 | MB_ICONQUESTION));
    EXPECT_FALSE(window_.IsRunning());
    EXPECT_FALSE(window_.State().DeleteAfterImport);
    EXPECT_EQ(TextOf(Ctl(kText3)), L"Text3");
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCommand3)));
}

TEST_F(MainWindowTest, YesWithBothBoxesEmptyIsRefusedAndForgotten) {
    SendMessageW(Ctl(kCheck1), BM_SETCHECK, BST_CHECKED, 0);
    Click(kCommand3);
    ASSERT_TRUE(PumpUntil([&] { return !window_.IsRunning(); }));
    ASSERT_EQ(dialogs_.asked.size(), 2u);
    EXPECT_EQ(dialogs_.asked[1].text, msg::kChoosePath);
    EXPECT_EQ(dialogs_.asked[1].caption, kAppTitle);
    EXPECT_EQ(dialogs_.asked[1].type, static_cast<UINT>(MB_OK));
    EXPECT_FALSE(window_.State().DeleteAfterImport);
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCommand1)));
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCommand3)));
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCheck1)));
}

TEST_F(MainWindowTest, AFailingHandlerIsSaidAndLeavesTheWindowUsable) {
    SetWindowTextW(Ctl(kText1), L"C:\\before");
    dialogs_.pickerFails = true;
    Click(kCommand1);
    ASSERT_EQ(dialogs_.asked.size(), 1u) << "not silent";
    EXPECT_EQ(dialogs_.asked[0].text, msg::kRunFailed);
    EXPECT_EQ(dialogs_.asked[0].caption, msg::kImportCaption);
    EXPECT_EQ(dialogs_.asked[0].type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_EQ(TextOf(Ctl(kText1)), L"C:\\before");
    EXPECT_FALSE(window_.IsRunning());
    EXPECT_FALSE(window_.State().DeleteAfterImport);
    for (const int id : {kCommand1, kCommand3, kCheck1, kCheck2}) {
        EXPECT_TRUE(IsWindowEnabled(Ctl(id))) << id;
    }

    dialogs_.pickerFails = false;
    dialogs_.folders = {L"C:\\after"};
    Click(kCommand1);
    EXPECT_EQ(TextOf(Ctl(kText1)), L"C:\\after") << "the window still works";
    EXPECT_EQ(dialogs_.asked.size(), 1u);
}

class WindowRunTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok()) << test::Utf8(server_.db.error());
        ASSERT_TRUE(window_.Create(SW_SHOWNOACTIVATE));
    }
    HWND Ctl(int id) { return window_.Control(id); }
    void MakeTree(const std::wstring& root, int files) {
        for (int i = 0; i < files; ++i) {
            test::WriteBytes(
                root + L"\\dir" + std::to_wstring(i % 4) + L"\\f" + std::to_wstring(i) + L".txt",
                std::string(1000 + i, 'x'));
        }
    }
    std::wstring Count(const wchar_t* table) {
        return *server_.db.Query(std::wstring(L"select count(*) from ") + table)[0][0];
    }

    test::ServerInstall server_;
    test::ScriptedDialogs dialogs_;
    MainWindow window_{dialogs_, server_.Registration()};
};

TEST_F(WindowRunTest, RunsOnAWorkerAndKeepsTheWindowAlive) {
    const std::wstring root = server_.sources + L"\\docs";
    MakeTree(root, 40);
    SetWindowTextW(Ctl(kText1), root.c_str());
    SendMessageW(Ctl(kCheck1), BM_SETCHECK, BST_UNCHECKED, 0);

    bool disabledAtEnd = false;
    dialogs_.answer = [&](const test::ScriptedDialogs::Asked&) {
        disabledAtEnd = !IsWindowEnabled(Ctl(kCommand1)) && !IsWindowEnabled(Ctl(kCommand3)) &&
                        !IsWindowEnabled(Ctl(kCheck1)) && !IsWindowEnabled(Ctl(kCheck2));
        return IDOK;
    };
    std::atomic<bool> done{false}, proberExited{false};
    std::atomic<int> answered{0}, unanswered{0};
    std::thread prober([&] {
        while (!done) {
            DWORD_PTR result = 0;
            if (SendMessageTimeoutW(window_.hwnd(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 2000,
                                    &result)) {
                ++answered;
            } else {
                ++unanswered;
            }
            Sleep(10);
        }
        proberExited = true;
    });
    SendMessageW(Ctl(kCommand3), BM_CLICK, 0, 0);
    EXPECT_TRUE(window_.IsRunning());
    EXPECT_FALSE(IsWindowEnabled(Ctl(kCommand3)));
    const bool finished = PumpUntil([&] { return !window_.IsRunning(); });
    done = true;
    PumpUntil([&] { return proberExited.load(); });
    prober.join();
    ASSERT_TRUE(finished);

    EXPECT_GT(answered, 0);
    EXPECT_EQ(unanswered, 0) << "the window answered every message during the run";
    EXPECT_TRUE(disabledAtEnd) << "inputs stay disabled until the run is over";
    ASSERT_EQ(dialogs_.asked.size(), 1u);
    EXPECT_EQ(dialogs_.asked[0].text, msg::kSucceeded);
    EXPECT_EQ(dialogs_.asked[0].caption, msg::kImportCaption);
    EXPECT_EQ(Count(L"PtpFile"), L"40");
    EXPECT_EQ(Count(L"PtpFolder"), L"4");
    EXPECT_EQ(TextOf(Ctl(kLabel2)), L"");
    EXPECT_EQ(TextOf(Ctl(kText3)), server_.exePath);
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCommand1)));
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCommand3)));
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCheck2)));
}

TEST_F(WindowRunTest, ActivityLinesReachList1) {
    test::WriteBytes(server_.sources + L"\\docs\\R&D\\a.txt", "a");
    SetWindowTextW(Ctl(kText1), (server_.sources + L"\\docs").c_str());
    SendMessageW(Ctl(kCommand3), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !window_.IsRunning(); }));
    ASSERT_EQ(SendMessageW(Ctl(kList1), LB_GETCOUNT, 0, 0), 1);
    wchar_t line[512] = {};
    SendMessageW(Ctl(kList1), LB_GETTEXT, 0, reinterpret_cast<LPARAM>(line));
    EXPECT_NE(std::wstring(line).find(L"[type:19]: " + server_.sources + L"\\docs\\R&D "),
              std::wstring::npos);
}

TEST_F(WindowRunTest, UntickedRunAfterARefusedYesDeletesNothing) {
    SendMessageW(Ctl(kCheck1), BM_SETCHECK, BST_CHECKED, 0);
    SendMessageW(Ctl(kCommand3), BM_CLICK, 0, 0);  // Yes, then refused: both boxes empty
    ASSERT_TRUE(PumpUntil([&] { return !window_.IsRunning(); }));
    SendMessageW(Ctl(kCheck1), BM_SETCHECK, BST_UNCHECKED, 0);
    test::WriteBytes(server_.sources + L"\\keep\\a.txt", "a");
    SetWindowTextW(Ctl(kText1), (server_.sources + L"\\keep").c_str());
    SendMessageW(Ctl(kCommand3), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !window_.IsRunning(); }));
    EXPECT_EQ(Count(L"PtpFile"), L"1");
    EXPECT_TRUE(test::Exists(server_.sources + L"\\keep\\a.txt"));
}

TEST_F(WindowRunTest, ClosingMidRunStopsAfterTheFileInHand) {
    const std::wstring root = server_.sources + L"\\many";
    MakeTree(root, 400);
    SetWindowTextW(Ctl(kText1), root.c_str());
    SendMessageW(Ctl(kCommand3), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(Ctl(kLabel2)).empty(); }));

    dialogs_.answer = [](const test::ScriptedDialogs::Asked& a) {
        return (a.type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    };
    SendMessageW(window_.hwnd(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(window_.IsRunning()) << "No carries on";
    ASSERT_EQ(dialogs_.asked.size(), 1u);
    EXPECT_EQ(dialogs_.asked[0].text, L"导入尚未完成，确定要停止导入吗？");
    EXPECT_EQ(dialogs_.asked[0].type, static_cast<UINT>(MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING));

    dialogs_.answer = [](const test::ScriptedDialogs::Asked& a) {
        return (a.type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    };
    HWND hwnd = window_.hwnd();
    SendMessageW(hwnd, WM_CLOSE, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !IsWindow(hwnd); }));

    const std::wstring rows = Count(L"PtpFile");
    EXPECT_LT(std::stoi(rows), 400);
    size_t stored = 0;
    for (int d = 0; d < 4; ++d) {
        stored +=
            test::ListNames(server_.store + L"\\DownLoad\\Public\\dir" + std::to_wstring(d)).size();
    }
    EXPECT_EQ(std::to_wstring(stored), rows)
        << "every stored file has its rows, none is half-copied";
    EXPECT_TRUE(dialogs_.asked.back().text.starts_with(msg::kStopped))
        << "the end message is still shown";
    EXPECT_TRUE(test::Exists(server_.store + L"\\log")) << "the run's log is still written";
}

TEST_F(WindowRunTest, AHandlerFailingMidRunEndsTheRunAsFailed) {
    const std::wstring root = server_.sources + L"\\many";
    MakeTree(root, 400);
    SetWindowTextW(Ctl(kText1), root.c_str());
    SendMessageW(Ctl(kCommand3), BM_CLICK, 0, 0);
    ASSERT_TRUE(PumpUntil([&] { return !TextOf(Ctl(kLabel2)).empty(); }));

    // Command2's picker fails while the run goes on.
    dialogs_.pickerFails = true;
    SendMessageW(window_.hwnd(), WM_COMMAND, MAKEWPARAM(kCommand2, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Ctl(kCommand2)));
    ASSERT_TRUE(PumpUntil([&] { return !window_.IsRunning(); }));

    EXPECT_LT(std::stoi(Count(L"PtpFile")), 400) << "the run stopped after the file in hand";
    ASSERT_EQ(dialogs_.asked.size(), 1u) << "one end message, and it says the run failed";
    const auto& end = dialogs_.asked[0];
    // What the run left is counted, and the operator is sent to the report.
    EXPECT_TRUE(
        end.text.starts_with(std::wstring(msg::kRunFailed) + L"\n\n" + msg::kStoppedCountBefore))
        << test::Utf8(end.text);
    EXPECT_NE(end.text.find(std::wstring(msg::kStoppedCountAfter) + L"\n\n" + msg::kReasonsIn),
              std::wstring::npos)
        << test::Utf8(end.text);
    EXPECT_EQ(end.caption, msg::kImportCaption);
    EXPECT_EQ(end.type, static_cast<UINT>(MB_OK | MB_ICONERROR));
    EXPECT_TRUE(test::Exists(server_.store + L"\\log")) << "the run's log is still written";
    EXPECT_FALSE(window_.State().DeleteAfterImport);
    EXPECT_TRUE(IsWindowEnabled(Ctl(kCommand3)));
    EXPECT_EQ(TextOf(Ctl(kLabel2)), L"");
}

}  // namespace
}  // namespace ksr
