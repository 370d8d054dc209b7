#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "util/result.h"

// A link (reparse point) met where the tool would read or write through it, or a held file that
// is no longer the one its listing named.
#ifndef ERROR_REPARSE_POINT_ENCOUNTERED
#define ERROR_REPARSE_POINT_ENCOUNTERED 4395L
#endif

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

// Whether the directory entry `path` itself (not what it points to) is a link: a junction,
// a symbolic link or another reparse point. Listings tell, where Wine's attribute queries follow
// its links. Fails with the Win32 error; ERROR_FILE_NOT_FOUND when nothing is there.
[[nodiscard]] Result<bool> IsLinkEntry(const std::wstring& path);

// Checks the levels of `path` below `root` (both in "\\?\" form, `path` inside `root`), top
// down: fails with ERROR_REPARSE_POINT_ENCOUNTERED and the level's path when one is a link, so
// that nothing is written through it. The first level that does not exist (or can't be listed)
// ends the check.
[[nodiscard]] Status CheckNoLinkBelow(const std::wstring& root, const std::wstring& path);

}  // namespace ksr
