#pragma once

#include <windows.h>

#include <string>

#include "util/result.h"

namespace ksr {

// 32 upper-case hex digits: Data1 (8), Data2 (4), Data3 (4), then the 8 bytes of Data4.
std::wstring FormatGuidText(const GUID& guid);

// A fresh GUID in that form, or why none could be created.
[[nodiscard]] Result<std::wstring> NewGuidText();

}  // namespace ksr
