#pragma once

#include <windows.h>

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "engine/import_window.h"
#include "util/sync.h"

namespace ksr {

// Messages the run's worker thread posts to the main window.
enum : UINT {
    kMsgRunUpdates = WM_APP + 1,  // drain RunBridge::TakeUpdates()
    kMsgRunAsk,                   // lParam: RunBridge::Question*, answered by the window
    kMsgRunDone,                  // the worker has returned
};

// What one run sees of the main window. The worker thread calls it; nothing here touches a
// control: changes are queued and the window applies them on its own thread.
class RunBridge : public ImportWindow {
  public:
    struct Update {
        enum class Kind { Text3, ClearList1, AddList1, Progress } kind;
        std::wstring text;
        double fraction = 0;
    };
    // The end of the run, which the window shows to the operator before it answers.
    struct Question {
        RunOutcome outcome;
        std::promise<void> answer;
    };

    RunBridge(HWND window, std::wstring text1, std::wstring text2, bool check2);

    [[nodiscard]] std::wstring Text1() const override { return text1_; }
    [[nodiscard]] std::wstring Text2() const override { return text2_; }
    [[nodiscard]] bool Check2() const override { return check2_; }
    void SetText3(const std::wstring& serverExe) override;
    void ClearList1() override;
    void AddList1(const std::wstring& line) override;
    void SetProgress(double fraction) override;
    void RunEnded(const RunOutcome& outcome) override;
    [[nodiscard]] bool StopRequested() const override { return stop_; }

    // Window side.
    std::vector<Update> TakeUpdates();
    void RequestStop() { stop_ = true; }

  private:
    void Push(Update update);

    HWND window_;
    const std::wstring text1_, text2_;
    const bool check2_;
    std::atomic<bool> stop_{false};
    SrwMutex mutex_;
    std::vector<Update> pending_;
    bool posted_ = false;
};

}  // namespace ksr
