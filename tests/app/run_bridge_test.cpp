#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <thread>

#include "app/run_bridge.h"
#include "window_test_support.h"

namespace ksr {
namespace {

// A window of this thread that only counts the wake-ups a run posts to it.
class CountingWindow {
  public:
    CountingWindow() {
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KsrRunBridgeTest";
        RegisterClassW(&wc);  // the second test finds it registered
        hwnd = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
        wakeUps = questions = 0;
    }
    ~CountingWindow() {
        if (IsWindow(hwnd)) DestroyWindow(hwnd);
    }

    HWND hwnd = nullptr;
    static inline int wakeUps = 0;
    static inline int questions = 0;

  private:
    static LRESULT CALLBACK Proc(HWND to, UINT message, WPARAM wParam, LPARAM lParam) {
        if (message == kMsgRunUpdates) ++wakeUps;
        if (message == kMsgRunAsk) ++questions;
        return DefWindowProcW(to, message, wParam, lParam);
    }
};

TEST(RunBridge, QueuesTheRunsChangesBehindOneWakeUp) {
    CountingWindow window;
    ASSERT_NE(window.hwnd, nullptr);
    RunBridge bridge(window.hwnd, L"C:\\docs", L"", true);
    EXPECT_EQ(bridge.Text1(), L"C:\\docs");
    EXPECT_TRUE(bridge.Check2());

    std::thread worker([&] {
        bridge.SetText3(L"C:\\server\\KvoServer.exe");
        bridge.ClearList1();
        bridge.AddList1(L"line");
        bridge.SetProgress(0.25);
    });
    worker.join();
    ASSERT_TRUE(test::PumpUntil([] { return CountingWindow::wakeUps > 0; }, 5));
    test::PumpUntil([] { return false; }, 0.1);
    EXPECT_EQ(CountingWindow::wakeUps, 1) << "one wake-up serves every queued change";

    const std::vector<RunBridge::Update> updates = bridge.TakeUpdates();
    ASSERT_EQ(updates.size(), 4u);
    EXPECT_EQ(updates[0].kind, RunBridge::Update::Kind::Text3);
    EXPECT_EQ(updates[0].text, L"C:\\server\\KvoServer.exe");
    EXPECT_EQ(updates[1].kind, RunBridge::Update::Kind::ClearList1);
    EXPECT_EQ(updates[2].kind, RunBridge::Update::Kind::AddList1);
    EXPECT_EQ(updates[2].text, L"line");
    EXPECT_EQ(updates[3].kind, RunBridge::Update::Kind::Progress);
    EXPECT_EQ(updates[3].fraction, 0.25);
    EXPECT_TRUE(bridge.TakeUpdates().empty());

    // Changes after the window drained the queue wake it again.
    bridge.AddList1(L"more");
    ASSERT_TRUE(test::PumpUntil([] { return CountingWindow::wakeUps == 2; }, 5));
}

TEST(RunBridge, TheEndOfARunWaitsForTheWindowOnlyWhileItLives) {
    CountingWindow window;
    RunBridge bridge(window.hwnd, L"", L"", false);
    std::atomic<bool> returned{false};
    std::thread worker([&] {
        RunOutcome outcome;
        outcome.ending = RunOutcome::Ending::Stopped;
        bridge.RunEnded(outcome);
        returned = true;
    });
    ASSERT_TRUE(test::PumpUntil([] { return CountingWindow::questions == 1; }, 5));
    Sleep(300);
    EXPECT_FALSE(returned) << "the run waits until the operator has seen its end";
    // The window goes without answering, as when the program is closing.
    DestroyWindow(window.hwnd);
    ASSERT_TRUE(test::PumpUntil([&] { return returned.load(); }, 5));
    worker.join();
}

}  // namespace
}  // namespace ksr
