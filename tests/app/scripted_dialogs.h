#pragma once

#include <deque>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/dialogs.h"

namespace ksr::test {

// Answers the window's dialogs from a script and records what was asked.
class ScriptedDialogs : public Dialogs {
  public:
    struct Asked {
        std::wstring text, caption;
        UINT type;
    };

    std::deque<std::wstring> folders;  // the picker's answers; empty text is a cancel
    bool pickerFails = false;          // the picker throws, as a handler that fails would
    std::vector<std::wstring> pickerTitles;
    std::vector<Asked> asked;
    std::function<int(const Asked&)> answer = [](const Asked& a) {
        return (a.type & MB_TYPEMASK) == MB_YESNO ? IDYES : IDOK;
    };

    std::wstring PickFolder(HWND, const std::wstring& title) override {
        pickerTitles.push_back(title);
        if (pickerFails) throw std::runtime_error("the folder picker failed");
        if (folders.empty()) return {};
        std::wstring folder = folders.front();
        folders.pop_front();
        return folder;
    }
    int Ask(HWND, const std::wstring& text, const std::wstring& caption, UINT type) override {
        asked.push_back({text, caption, type});
        return answer(asked.back());
    }
};

}  // namespace ksr::test
