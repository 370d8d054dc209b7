#include "console/console_signals.h"

#include <windows.h>

#include <mutex>

#include "console/console_texts.h"
#include "util/handles.h"
#include "util/sync.h"

namespace ksr {
namespace {

// The handler is a plain function the system calls on a thread of its own, so what it reaches
// lives here, for the whole process; the lock keeps the run's objects alive while it uses them.
struct SignalTarget {
    SrwMutex mutex;
    ConsoleWindow* window = nullptr;  // guarded by mutex
    ConsoleOutput* out = nullptr;     // guarded by mutex
    unique_handle runEnded{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

SignalTarget& Target() {
    static SignalTarget target;
    return target;
}

BOOL WINAPI OnSignal(DWORD signal) {
    SignalTarget& target = Target();
    {
        const std::lock_guard lock(target.mutex);
        if (target.window == nullptr) return FALSE;
        if (target.window->RequestStop() && target.out != nullptr) {
            target.out->Line(cli::kStopping);
        }
    }
    // Closing the console, logging off and shutting down end the process as soon as the
    // handler returns: it waits for the run to finish its file and write its log, for as long
    // as the system lets it.
    if (signal == CTRL_CLOSE_EVENT || signal == CTRL_LOGOFF_EVENT ||
        signal == CTRL_SHUTDOWN_EVENT) {
        WaitForSingleObject(target.runEnded.get(), INFINITE);
    }
    return TRUE;
}

}  // namespace

ConsoleSignals::ConsoleSignals(ConsoleWindow& window, ConsoleOutput& out) {
    SignalTarget& target = Target();
    {
        const std::lock_guard lock(target.mutex);
        target.window = &window;
        target.out = &out;
    }
    ResetEvent(target.runEnded.get());
    SetConsoleCtrlHandler(OnSignal, TRUE);
}

ConsoleSignals::~ConsoleSignals() {
    SetConsoleCtrlHandler(OnSignal, FALSE);
    RunEnded();
    SignalTarget& target = Target();
    const std::lock_guard lock(target.mutex);
    target.window = nullptr;
    target.out = nullptr;
}

void ConsoleSignals::RunEnded() {
    SetEvent(Target().runEnded.get());
}

}  // namespace ksr
