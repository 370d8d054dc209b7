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
        enum class Kind { Text3, ClearList1, AddList1, Label2, Command3 } kind;
        std::wstring text;
        bool enabled = false;
    };
    struct Question {
        std::wstring text;
        std::wstring caption;
        unsigned type = 0;
        std::promise<int> answer;
    };

    RunBridge(HWND window, std::wstring text1, std::wstring text2, bool check2);

    std::wstring Text1() const override { return text1_; }
    std::wstring Text2() const override { return text2_; }
    bool Check2() const override { return check2_; }
    void SetText3(const std::wstring& text) override;
    void ClearList1() override;
    void AddList1(const std::wstring& line) override;
    void SetLabel2(const std::wstring& text) override;
    void EnableCommand3(bool enabled) override;
    void ShowMessage(const std::wstring& text, const std::wstring& caption, unsigned type) override;
    bool StopRequested() const override { return stop_; }

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
