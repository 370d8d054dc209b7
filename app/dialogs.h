#pragma once

#include <windows.h>

#include <string>

namespace ksr {

// The modal dialogs the main window shows. Tests answer them from a script.
class Dialogs {
  public:
    virtual ~Dialogs() = default;
    virtual std::wstring PickFolder(HWND owner, const std::wstring& title) = 0;
    // A message box; returns the button pressed (IDOK, IDYES, IDNO, ...).
    virtual int Ask(HWND owner, const std::wstring& text, const std::wstring& caption,
                    UINT type) = 0;
};

// The shell's folder chooser and the system's message boxes.
class SystemDialogs : public Dialogs {
  public:
    std::wstring PickFolder(HWND owner, const std::wstring& title) override;
    int Ask(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) override;
};

}  // namespace ksr
