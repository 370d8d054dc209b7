#pragma once

#include "engine/run_outcome.h"

namespace ksr {

// What the command line's exit code says; scripts and the Task Scheduler read it.
enum ExitCode : int {
    kExitImported = 0,     // everything imported
    kExitPartly = 1,       // some items not imported (the run report says which)
    kExitRefused = 2,      // usage, not on the server, an overlap, or no room
    kExitNoDatabase = 3,   // the database could not be reached; nothing imported
    kExitInterrupted = 4,  // stopped, or the database was lost mid-run
    kExitInternal = 5,     // internal failure
};

[[nodiscard]] ExitCode ExitCodeOf(const RunOutcome& outcome);

}  // namespace ksr
