#pragma once

#include <string>

#include "util/paths.h"

namespace ksr {

// Folder names lose "&", "'" and "%" (each becomes a blank), in that order.
inline std::wstring CleanFolderName(std::wstring name) {
    for (const wchar_t c : {L'&', L'\'', L'%'}) name = ReplaceAll(name, c, L' ');
    return name;
}

// File names lose no-break spaces, and the "Â" left behind when one was mis-decoded.
inline std::wstring CleanFileName(const std::wstring& name) {
    return ReplaceAll(ReplaceAll(name, L'\u00A0', L' '), L'\u00C2', L' ');
}

}  // namespace ksr
