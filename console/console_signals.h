#pragma once

#include <windows.h>

#include "console/console_output.h"
#include "console/console_window.h"

namespace ksr {

// While it lives, Ctrl+C, Ctrl+Break and closing the console ask the run behind `window` to
// stop, the way closing the window does, instead of ending the process at once. Closing the
// console (and logoff and shutdown, which Windows sends only to programs that load no user32)
// stops the copy in hand too, and waits for the run's end only for the seconds Windows allows.
// Made and ended on the run's thread; the system calls the handler on a thread of its own.
class ConsoleSignals {
  public:
    ConsoleSignals(ConsoleWindow& window, ConsoleOutput& out);
    ~ConsoleSignals();
    ConsoleSignals(const ConsoleSignals&) = delete;
    ConsoleSignals& operator=(const ConsoleSignals&) = delete;

    // The run has ended and written its log: a close that waits for it may go on.
    void RunEnded();
};

// What the system calls on a thread of its own for `signal` (CTRL_C_EVENT and the others) while
// a ConsoleSignals lives: FALSE when none does.
BOOL HandleConsoleSignal(DWORD signal);

}  // namespace ksr
