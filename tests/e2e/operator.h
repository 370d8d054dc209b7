#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace ksr::e2e {

// Plays the administrator at a running ksrimport.exe: finds the window and its controls, and
// sends them what a user's clicks and keystrokes send.
struct OperatorScript {
    std::wstring exe;            // ksrimport.exe to launch
    std::wstring folder;         // typed into the folder chooser
    bool rootMode = false;       // tick "The selected folder is the root directory ..."
    bool deleteSources = false;  // tick "Delete the original file ..." and answer Yes
    double timeoutSeconds = 120;
    std::function<void(const std::wstring&)> say;  // a line of what the operator sees
    // Called at the moments worth a picture of the window and returns once it is taken:
    // "before" just before Start importing is pressed, "running" when the run first shows a
    // percentage below 100%, "window" as soon as the window shows when `lookOnly` is set.
    std::function<void(HWND, const std::wstring&)> picture;
    bool lookOnly = false;  // only open the window for its picture, then close it
};

struct OperatorResult {
    bool ok = false;                     // every step found what it looked for
    std::wstring failure;                // the step that did not
    std::wstring text1;                  // what Text1 showed after picking
    std::vector<std::wstring> messages;  // texts of the message boxes, in order
    std::vector<std::wstring> progress;  // Label2 texts seen during the run
    std::vector<std::wstring> titles;    // window titles seen along with those texts
    DWORD exitCode = STILL_ACTIVE;
    // The peak working set of ksrimport.exe, read just before its window is closed; 0 when
    // it could not be read.
    SIZE_T peakWorkingSet = 0;
};

OperatorResult PlayOperator(const OperatorScript& script);

}  // namespace ksr::e2e
