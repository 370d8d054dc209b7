#pragma once

#include <string>

namespace ksr {

// What the import run sees of the main window. The real window implements it by posting to
// its own thread; tests implement it in memory.
class ImportWindow {
  public:
    virtual ~ImportWindow() = default;

    [[nodiscard]] virtual std::wstring Text1() const = 0;
    [[nodiscard]] virtual std::wstring Text2() const = 0;
    [[nodiscard]] virtual bool Check2() const = 0;
    virtual void SetText3(const std::wstring& text) = 0;
    virtual void ClearList1() = 0;
    virtual void AddList1(const std::wstring& line) = 0;
    virtual void SetLabel2(const std::wstring& text) = 0;
    virtual void EnableCommand3(bool enabled) = 0;
    // A modal message box; an empty caption means the application title. `type` takes the
    // MB_* button and icon flags.
    virtual void ShowMessage(const std::wstring& text, const std::wstring& caption,
                             unsigned type) = 0;
    // True once the operator asked to stop; the run ends after the file in hand.
    [[nodiscard]] virtual bool StopRequested() const { return false; }
};

}  // namespace ksr
