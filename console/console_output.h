#pragma once

#include <windows.h>

#include <string>

#include "util/sync.h"

namespace ksr {

// The command line's standard output. On a console it writes through WriteConsoleW, so that
// Chinese reads in whatever code page the console has, and keeps one progress line redrawn in
// place under the lines. Redirected to a file or a pipe, it writes UTF-8, and a progress line
// is just another line. Called from the run's threads; a lock keeps their lines whole.
class ConsoleOutput {
  public:
    explicit ConsoleOutput(HANDLE out);

    [[nodiscard]] bool IsConsole() const { return console_; }
    // A line of its own; on a console it takes the progress line's place, which is drawn
    // again at the next progress.
    void Line(const std::wstring& text);
    void Progress(const std::wstring& text);

  private:
    void Write(const std::wstring& text);
    void ClearProgress();

    HANDLE out_;
    bool console_ = false;
    SrwMutex mutex_;
    size_t progressColumns_ = 0;  // guarded by mutex_
};

// How many console columns `text` takes: the wide East Asian characters take two.
[[nodiscard]] size_t ConsoleColumns(const std::wstring& text);

}  // namespace ksr
