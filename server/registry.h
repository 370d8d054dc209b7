#pragma once

#include <string>

#include "util/result.h"

namespace ksr {

// Reads one registry value as text (REG_SZ as it is, REG_DWORD as unsigned decimal, REG_NONE
// as hex bytes), trimmed of blanks. Fails unless the key was opened and the value read: with the
// registry's error and the key's path, or ERROR_INVALID_DATA for a value that can't be read as
// text. The 32-bit view is looked at first, then the 64-bit one.
[[nodiscard]] Result<std::wstring> ReadRegistryString(const std::wstring& rootName,
                                                      const std::wstring& subkey,
                                                      const std::wstring& valueName);

}  // namespace ksr
