#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "util/result.h"

namespace ksr {

enum class ActivityType { FolderFailed = 18, NameCleaned = 19 };

// "[127.0.0.1] [YYYY-MM-DD hh:mm:ss] [UserID:1] [type:N]: <subject> <message>"
std::wstring FormatActivityLine(ActivityType type, const std::wstring& subject,
                                const std::wstring& message, const SYSTEMTIME& when);

// The same, stamped with the local time now.
std::wstring ActivityLine(ActivityType type, const std::wstring& subject,
                          const std::wstring& message);

// <storeRoot>\log\YYYYMM\YYYYMMDD.log, both parts of the one moment `when`.
std::wstring ServerLogFile(const std::wstring& storeRoot, const SYSTEMTIME& when);

// Appends the lines, CR LF ended and in the ANSI code page, to
// <storeRoot>\log\YYYYMM\YYYYMMDD.log; the file is created when missing. Fails with the Win32
// error and the file's path when it could not be opened or written.
[[nodiscard]] Status serverlog(const std::vector<std::wstring>& lines,
                               const std::wstring& storeRoot);

}  // namespace ksr
