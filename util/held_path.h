#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "util/result.h"

namespace ksr {

// Where an opened file or folder really is, compared with where its listing said it is.
enum class HeldAt {
    Listed,           // the very name that was listed
    ElsewhereInside,  // another name below the chosen folder: a link, or a name swapped in
    Outside,          // somewhere outside the chosen folder
};

// `path` without a "\\?\" (or "\\?\UNC\") prefix.
std::wstring WithoutExtendedPrefix(std::wstring_view path);

// The final path of `handle` (every link resolved), without the "\\?\" prefix. Fails with the
// Win32 error.
[[nodiscard]] Result<std::wstring> FinalPathOf(HANDLE handle);

// Compares the final path of `handle` with `listed` and with `root` (both in final-path form,
// without the "\\?\" prefix), ignoring letter case as the file system does. Opening a name
// follows links (Wine's own links even with FILE_FLAG_OPEN_REPARSE_POINT), so this is how a
// held handle is told from the file its listing named. Fails with the Win32 error when the
// handle's path can't be had.
[[nodiscard]] Result<HeldAt> WhereHeld(HANDLE handle, std::wstring_view listed,
                                       std::wstring_view root);

}  // namespace ksr
