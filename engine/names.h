#pragma once

#include <string>
#include <string_view>

#include "util/paths.h"
#include "util/pattern.h"

namespace ksr {

// Folder names lose "&", "'" and "%" (each becomes a blank), in that order.
inline std::wstring CleanFolderName(std::wstring name) {
    for (const wchar_t c : {L'&', L'\'', L'%'}) name = ReplaceAll(name, c, L' ');
    return name;
}

// Whether the name holds a character CleanFolderName replaces ("&", "'" or "%"): the operator is
// told of each folder renamed. Pattern 7 of the shared pattern table is that test.
inline bool FolderNameNeedsCleaning(std::wstring_view name) {
    return MatchesPattern(name, L"7");
}

// File names lose no-break spaces, and the "Â" left behind when one was mis-decoded.
inline std::wstring CleanFileName(const std::wstring& name) {
    return ReplaceAll(ReplaceAll(name, L'\u00A0', L' '), L'\u00C2', L' ');
}

}  // namespace ksr
