#pragma once

#include <windows.h>

#include <string>

namespace ksr {

// The shell's folder chooser, modal to `owner`, showing `title`. Returns the chosen folder's
// full path, or empty text when the operator cancels.
std::wstring PickFolder(HWND owner, const std::wstring& title);

}  // namespace ksr
