#pragma once

#include "console/console_output.h"
#include "console/console_window.h"

namespace ksr {

// While it lives, Ctrl+C, Ctrl+Break and closing the console ask the run behind `window` to
// stop, the way closing the window does, instead of ending the process at once. (Logoff and
// shutdown are handled alike, but Windows sends them only to programs that load no user32.)
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

}  // namespace ksr
