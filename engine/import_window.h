#pragma once

#include <cstdint>
#include <string>

#include "engine/run_failure.h"
#include "engine/run_outcome.h"

namespace ksr {

// What the import run sees of the main window: the operator's choices going in, and what
// happened coming out. The window chooses the words, icons and controls. The real window
// implements it by posting to its own thread; tests implement it in memory.
// How a run is put together: docs/DESIGN.md. Called from the run's threads, never two at once
// for one kind of call: the list from the thread that holds the run's record (the run's thread,
// or the row writer's during the walk), progress from the walk, and StopRequested from the walk
// and the statement watch.
class ImportWindow {
  public:
    virtual ~ImportWindow() = default;

    [[nodiscard]] virtual std::wstring Text1() const = 0;
    [[nodiscard]] virtual std::wstring Text2() const = 0;
    [[nodiscard]] virtual bool Check2() const = 0;
    // The server's executable, as its registry entry gives it.
    virtual void SetText3(const std::wstring& serverExe) = 0;
    // A run begins: the last run's activity lines go.
    virtual void ClearList1() = 0;
    // One activity line, as the server log gets it.
    virtual void AddList1(const std::wstring& line) = 0;
    // The share of the source bytes copied so far: 1 is all of them (more when files grew
    // during the run). Reported once it moved by a hundredth.
    virtual void SetProgress(double fraction) = 0;
    // The walk reached one more file: `files` and `bytes` reached so far in this run. Told for
    // every file, from the walk; a front end that shows more than the share counts with it.
    virtual void FileReached(uint64_t /*files*/, uint64_t /*bytes*/) {}
    // An item not imported (or, for a source kept, not deleted), as the run report lists it;
    // told with its activity line, from the same thread.
    virtual void NotImported(const RunFailure& /*item*/) {}
    // How the run ended; returns once the operator has seen it.
    virtual void RunEnded(const RunOutcome& outcome) = 0;
    // True once the operator asked to stop; the run ends after the file in hand, and a database
    // statement still waiting then is cancelled. Asked between files, and from another of the
    // run's threads while a statement waits.
    [[nodiscard]] virtual bool StopRequested() const { return false; }
};

}  // namespace ksr
