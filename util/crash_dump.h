#pragma once

#include <string>
#include <vector>

namespace ksr {

// Makes an exception that no code handles, in any thread, leave a minidump of the process in
// `directory` (made when missing) before the process ends. Called once, early, on the main
// thread: everything the crash path needs is prepared here, dbghelp from system32 among it.
// Returns false when it could not be prepared; the program then runs without.
bool InstallCrashDump(const std::wstring& directory);

// The dumps in `directory` that no start has named yet, oldest first, as full paths; each is
// returned by one call only. Called on the main thread at start-up.
[[nodiscard]] std::vector<std::wstring> TakeNewCrashDumps(const std::wstring& directory);

}  // namespace ksr
