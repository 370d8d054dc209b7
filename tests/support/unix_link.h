#pragma once

#include <string>

namespace ksr::test {

// Makes `link` (a Windows path) a Unix symbolic link to `target`, through the Unix `ln`, and
// waits until it is there: Wine lists a link to a folder as a reparse point and a link to a file
// as a plain file. `target` is a Windows path, or a relative one ("../a/b.txt") kept as it is.
// A link already there is replaced. With `hard`, a hard link instead. False when it did not
// appear.
bool MakeUnixLink(const std::wstring& target, const std::wstring& link, bool hard = false);

// Starts a Unix program given by its Windows path ("Z:\\bin\\..."). Wine starts it like a
// Windows one but hands back no process handle to wait on: callers watch for its effect.
bool StartUnix(std::wstring commandLine);

// Removes the Unix link `link` itself, not what it points to, and waits until it is gone.
bool RemoveUnixLink(const std::wstring& link);

// Runs a Unix program (`command` names it by its Windows path, "Z:\\bin\\...") and waits until
// `appears` is listed. False when it did not appear.
bool RunUnixUntil(std::wstring command, const std::wstring& appears);

// The Unix path of a Windows one; empty when there is none.
std::wstring UnixName(const std::wstring& path);

}  // namespace ksr::test
