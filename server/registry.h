#pragma once

#include <string>

namespace ksr {

// Reads one registry value as text (REG_SZ as it is, REG_DWORD as unsigned decimal, REG_NONE
// as hex bytes), trimmed of blanks. True only when the key was opened and the value read.
// The 32-bit view is looked at first, then the 64-bit one.
bool ReadRegistryString(const std::wstring& rootName, const std::wstring& subkey,
                        const std::wstring& valueName, std::wstring& value);

}  // namespace ksr
