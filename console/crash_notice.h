#pragma once

#include <optional>
#include <string>

#include "console/console_output.h"

namespace ksr {

// Names the crash dumps written since the last start, once each, with the folder they are in:
// `directory` or, when not given, the run reports' own. Called on the main thread.
void NameCrashDumps(ConsoleOutput& out, const std::optional<std::wstring>& directory);

}  // namespace ksr
