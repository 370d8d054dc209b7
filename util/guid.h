#pragma once

#include <windows.h>

#include <string>

namespace ksr {

// 32 upper-case hex digits: Data1 (8), Data2 (4), Data3 (4), then the 8 bytes of Data4.
std::wstring FormatGuidText(const GUID& guid);

// A fresh GUID in that form, or empty text when none could be created.
std::wstring NewGuidText();

}  // namespace ksr
