#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "app/layout.h"
#include "app/main_window.h"
#include "engine/messages.h"
#include "scripted_dialogs.h"
#include "support/server_install.h"
#include "window_test_support.h"

namespace ksr {
namespace {

using test::PumpUntil;
using test::TextOf;

struct Expected {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    int left, top, width, height;  // twips
};

// The window as the operator knows it, in tab order.
const Expected kForm1[] = {
    {kCommand1, L"Button", L"Import public documents", 3240, 360, 1300, 375},
    {kText1, L"Edit", L"", 120, 360, 3015, 375},
    {kText2, L"Edit", L"", -10000, 960, 3015, 375},
    {kCommand2, L"Button", L"导入网络硬盘", -10000, 960, 1300, 375},
    {kCommand3, L"Button", L"Start importing", 1320, 3360, 2175, 375},
    {kText3, L"Edit", L"Text3", -1000, 1800, 375, 270},
    {kLabel1, L"Static", L"Do not place the file in the root directory", 240, 960, 3975, 375},
    {kLabel2, L"Static", L"", 1680, 1560, 1095, 375},
    {kLabel3, L"Static", L"\"Be cautious!\" \"", 3600, 3000, 705, 240},
    {kCheck1, L"Button", L"Delete the original file after importing", 1440, 2880, 1935, 375},
    {kCheck2, L"Button", L"The selected folder is the root directory of the public document", 1440,
     2300, 3135, 375},
    {kList1, L"ListBox", L"", -1000, 0, 135, 255},
};

int Px(int twips, int dpi) {
    return static_cast<int>(std::lround(twips * dpi / 1440.0));
}

class MainWindowTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(window_.Create(SW_SHOWNOACTIVATE)); }
    HWND Ctl(int id) { return window_.Control(id); }
    void Click(int id) { SendMessageW(Ctl(id), BM_CLICK, 0, 0); }

    void CheckLayout(int dpi) {
        RECT client{};
        GetClientRect(window_.hwnd(), &client);
        EXPECT_EQ(client.right, Px(4785, dpi));
        EXPECT_EQ(client.bottom, Px(4080, dpi));
        HWND child = GetWindow(window_.hwnd(), GW_CHILD);
        for (const Expected& want : kForm1) {
            ASSERT_NE(child, nullptr);
            EXPECT_EQ(GetDlgCtrlID(child), want.id) << "tab order";
            EXPECT_EQ(_wcsicmp(test::ClassOf(child).c_str(), want.cls), 0) << want.id;
            EXPECT_EQ(TextOf(child), want.text);
            const RECT r = test::ClientRectOf(child);
            EXPECT_NEAR(r.left, Px(want.left, dpi), 1) << want.id << " at " << dpi;
            EXPECT_NEAR(r.top, Px(want.top, dpi), 1) << want.id << " at " << dpi;
            EXPECT_NEAR(r.right - r.left, Px(want.width, dpi), 1) << want.id << " at " << dpi;
            EXPECT_NEAR(r.bottom - r.top, Px(want.height, dpi), 1) << want.id << " at " << dpi;
            child = GetWindow(child, GW_HWNDNEXT);
        }
        EXPECT_EQ(child, nullptr);
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
}

TEST_F(MainWindowTest, LayoutFollowsTheMonitorsDpi) {
    RECT suggested{10, 10, 500, 500};
    SendMessageW(window_.hwnd(), WM_DPICHANGED, MAKEWPARAM(144, 144),
                 reinterpret_cast<LPARAM>(&suggested));
    CheckLayout(144);
    SendMessageW(window_.hwnd(), WM_DPICHANGED, MAKEWPARAM(96, 96),
                 reinterpret_cast<LPARAM>(&suggested));
    CheckLayout(96);
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
    EXPECT_EQ(TextOf(Ctl(kText1)), L"C:\\%E6%96%87%E6%A1%A3\\a%2Bb");
    Click(kCommand1);
    EXPECT_EQ(TextOf(Ctl(kText1)), L"C:\\plain\\path");
    Click(kCommand1);
    EXPECT_EQ(TextOf(Ctl(kText1)), L"") << "a cancel clears the earlier choice";
    SendMessageW(window_.hwnd(), WM_COMMAND, MAKEWPARAM(kCommand2, BN_CLICKED),
                 reinterpret_cast<LPARAM>(Ctl(kCommand2)));
    EXPECT_EQ(TextOf(Ctl(kText2)), L"D:\\网络") << "the network-disk box is not encoded";
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

}  // namespace
}  // namespace ksr
