#include "console/console_signals.h"

#include <windows.h>

#include <mutex>

#include "console/console_texts.h"
#include "engine/file_transfer.h"
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

// Windows ends the process about five seconds after a close, a logoff or a shutdown reaches it,
// and at once when the handler returns: the run is waited for a little less than that.
constexpr DWORD kEndingWaitMs = 4000;

BOOL WINAPI OnSignal(DWORD signal) {
    return HandleConsoleSignal(signal);
}

}  // namespace

BOOL HandleConsoleSignal(DWORD signal) {
    SignalTarget& target = Target();
    const bool ending =
        signal == CTRL_CLOSE_EVENT || signal == CTRL_LOGOFF_EVENT || signal == CTRL_SHUTDOWN_EVENT;
    {
        const std::lock_guard lock(target.mutex);
        if (target.window == nullptr) return FALSE;
        // The process is about to end: the copy in hand stops where it is (its temporary file
        // is removed by the next run), so that the log and the report are written in time.
        if (ending) SetCopiesAbandoned(true);
        if (target.window->RequestStop() && target.out != nullptr) {
            target.out->Line(cli::kStopping);
        }
    }
    if (ending) WaitForSingleObject(target.runEnded.get(), kEndingWaitMs);
    return TRUE;
}

ConsoleSignals::ConsoleSignals(ConsoleWindow& window, ConsoleOutput& out) {
    SignalTarget& target = Target();
    {
        const std::lock_guard lock(target.mutex);
        target.window = &window;
        target.out = &out;
    }
    ResetEvent(target.runEnded.get());
    SetCopiesAbandoned(false);
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
