#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/import_window.h"

namespace ksr::test {

// The window as the run sees it, kept in memory.
class FakeWindow : public ImportWindow {
  public:
    struct Box {
        std::wstring text;
        std::wstring caption;
        unsigned type;
    };

    std::wstring text1, text2, text3 = L"Text3", label2;
    bool check2 = false;
    bool command3 = true;
    std::vector<std::wstring> list1;
    std::vector<std::wstring> labels;   // every Label2 text, in order
    std::vector<bool> command3Changes;  // every change of Command3, in order
    std::vector<Box> boxes;
    std::function<bool()> stop;  // asked between files

    std::wstring Text1() const override { return text1; }
    std::wstring Text2() const override { return text2; }
    bool Check2() const override { return check2; }
    void SetText3(const std::wstring& text) override { text3 = text; }
    void ClearList1() override { list1.clear(); }
    void AddList1(const std::wstring& line) override { list1.push_back(line); }
    void SetLabel2(const std::wstring& text) override {
        label2 = text;
        labels.push_back(text);
    }
    void EnableCommand3(bool enabled) override {
        command3 = enabled;
        command3Changes.push_back(enabled);
    }
    void ShowMessage(const std::wstring& text, const std::wstring& caption,
                     unsigned type) override {
        boxes.push_back({text, caption, type});
    }
    bool StopRequested() const override { return stop && stop(); }
};

}  // namespace ksr::test
