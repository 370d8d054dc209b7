#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "console/console_output.h"
#include "engine/importer.h"

namespace ksr {

// What a command-line run may be pointed at besides the real server; tests choose their own.
struct ConsoleRunSettings {
    ServerRegistration registration;
    std::optional<std::wstring> reportDirectory;
    // Whether the process runs elevated; empty asks its token. Tests stand in for the token,
    // which Wine elevates for every process.
    std::function<bool()> elevated;
};

// Runs the command `args` (the arguments after the program's name) the way "Start importing"
// runs, writing what the run did not import and how it ended to `out`. Returns the exit code.
// Called on the program's main thread.
[[nodiscard]] int RunCommandLine(const std::vector<std::wstring>& args, ConsoleOutput& out,
                                 const ConsoleRunSettings& settings = {});

}  // namespace ksr
