#include "app/run_bridge.h"

#include <chrono>
#include <utility>

namespace ksr {

RunBridge::RunBridge(HWND window, std::wstring text1, std::wstring text2, bool check2)
    : window_(window), text1_(std::move(text1)), text2_(std::move(text2)), check2_(check2) {}

void RunBridge::Push(Update update) {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(update));
    // One wake-up serves any number of queued changes.
    if (!posted_) posted_ = PostMessageW(window_, kMsgRunUpdates, 0, 0) != FALSE;
}

std::vector<RunBridge::Update> RunBridge::TakeUpdates() {
    std::lock_guard lock(mutex_);
    posted_ = false;
    return std::exchange(pending_, {});
}

void RunBridge::SetText3(const std::wstring& serverExe) {
    Push({Update::Kind::Text3, serverExe});
}
void RunBridge::ClearList1() {
    Push({Update::Kind::ClearList1, {}});
}
void RunBridge::AddList1(const std::wstring& line) {
    Push({Update::Kind::AddList1, line});
}
void RunBridge::SetProgress(double fraction) {
    Push({Update::Kind::Progress, {}, fraction});
}

void RunBridge::RunEnded(const RunOutcome& outcome) {
    Question question{outcome, {}};
    std::future<void> answer = question.answer.get_future();
    // The window applies every queued change before it shows the end message.
    if (!PostMessageW(window_, kMsgRunAsk, 0, reinterpret_cast<LPARAM>(&question))) return;
    // A window destroyed before it got to the question never answers it.
    while (answer.wait_for(std::chrono::milliseconds(200)) != std::future_status::ready) {
        if (!IsWindow(window_)) return;
    }
}

}  // namespace ksr
