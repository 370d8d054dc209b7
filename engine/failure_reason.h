#pragma once

#include <windows.h>

#include <string>

#include "util/result.h"

namespace ksr {

// "<the system's text> (错误 <code>)" for a Win32 error.
std::wstring Win32Reason(DWORD error);

// Any failure as the run's report words it: an internal failure (see UnexpectedFailure) as an
// unexpected one, with what the program said; otherwise as the database or the system words it.
std::wstring ErrorReason(const Error& error);

// "SQLSTATE <state> (<the server's own code>): <the driver's message>".
std::wstring DatabaseReason(const Error& error);

// Why nothing was written below a store or holding directory level that is a link
// (ERROR_REPARSE_POINT_ENCOUNTERED, with the level's path); any other error as the system words
// it.
std::wstring LinkInTheWay(const Error& error);

}  // namespace ksr
