#pragma once

#include <functional>
#include <string>
#include <vector>

#include "app/end_message.h"
#include "engine/import_window.h"

namespace ksr::test {

// The window as the run sees it, kept in memory; the tests and the benchmark share it. It
// words each ending as the real window does, so the texts the operator would see can be
// checked.
class FakeWindow : public ImportWindow {
  public:
    std::wstring text1, text2, text3 = L"Text3";
    bool check2 = false;
    std::vector<std::wstring> list1;
    int list1Clears = 0;
    std::vector<double> progress;       // every share reported, in order
    std::vector<RunOutcome> outcomes;   // every run's ending, in order
    std::vector<MessageBoxText> boxes;  // the end messages of those endings
    std::function<bool()> stop;         // asked between files, and from the run's watch thread

    std::wstring Text1() const override { return text1; }
    std::wstring Text2() const override { return text2; }
    bool Check2() const override { return check2; }
    void SetText3(const std::wstring& serverExe) override { text3 = serverExe; }
    void ClearList1() override {
        list1.clear();
        ++list1Clears;
    }
    void AddList1(const std::wstring& line) override { list1.push_back(line); }
    void SetProgress(double fraction) override { progress.push_back(fraction); }
    void RunEnded(const RunOutcome& outcome) override {
        outcomes.push_back(outcome);
        boxes.push_back(EndMessage(outcome));
    }
    bool StopRequested() const override { return stop && stop(); }
};

}  // namespace ksr::test
