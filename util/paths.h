#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "util/result.h"

namespace ksr {

// Everything up to and including the last "\"; empty when there is none. "/" is an ordinary
// character here.
std::wstring DirectoryPart(std::wstring_view path);

// The text after the last "\", trimmed of U+0020 at both ends. No value for the empty path.
std::optional<std::wstring> LastPathSegment(std::wstring_view path);

// The form handed to file-system calls: absolute, "\" separators, with the "\\?\" prefix so
// paths longer than MAX_PATH work.
std::wstring ToExtendedPath(std::wstring_view path);

// The "\\?\" form of an absolute path, without parsing it again: "X:\a" becomes "\\?\X:\a",
// "\\server\share\a" becomes "\\?\UNC\server\share\a"; a path already in "\\?\" or "\\.\" form is
// returned unchanged, and "/" stays what it is.
std::wstring ExtendedFromAbsolute(std::wstring_view absolute);

// True for a single file or folder name that ordinary Windows path parsing would alter, so it
// can't be opened through an ordinary path: a name ending in "." or " ", or a DOS device name
// (CON, PRN, AUX, NUL, COM1-COM9, LPT1-LPT9, CONIN$, CONOUT$, in any letter case) alone or
// followed by an extension, blanks or dots. False for "." and "..".
bool IsAlteredByPathParsing(std::wstring_view name);

// True only for a drive-letter path "X:\..." (the root "X:\" included) with no "." or ".."
// segment and no empty segment but a trailing one; false for relative paths, "X:foo", UNC,
// "\\?\" and device paths, and anything holding "/".
bool IsAbsoluteLocalPath(std::wstring_view path);

// The full absolute form of `path` (parsed once; a "\\?\" path is taken as it is) and, when it
// names an existing folder, that folder's final path, so links and substituted drives resolve.
// Returned without the "\\?\" prefix and without a trailing "\" (except a drive root "X:\"); no
// value when `path` names no file-system location.
std::optional<std::wstring> ResolveFolder(std::wstring_view path);

// Whether the file system takes `a` and `b` for one name: equal but for letter case.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b);

// True when `inner` is `outer` or lies below it, compared segment by segment and ignoring
// letter case as the file system does; trailing "\" on either side don't matter.
bool PathContains(std::wstring_view outer, std::wstring_view inner);

// Creates every missing level of the directory `extendedPath` (in "\\?\" form), appending raw
// segments so names keep trailing blanks and dots. Succeeds when the directory exists at the
// end; else fails with the Win32 error and the path of the level that failed.
[[nodiscard]] Status CreateDirectoryLevels(const std::wstring& extendedPath);
// What CreateDirectoryLevels would meet, without making anything: fails with
// ERROR_ALREADY_EXISTS and the level's path when the deepest level that exists is not a
// directory, as making the levels below it would.
[[nodiscard]] Status DirectoryLevelsCouldBeMade(const std::wstring& extendedPath);

// True for the "." and ".." entries of a directory listing.
inline bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

// True for a listed directory that is a junction or directory link: listings don't follow them,
// since one pointing upwards never ends.
inline bool IsDirectoryLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// `dir` with one "\" at its end.
inline std::wstring WithSeparator(const std::wstring& dir) {
    return dir.ends_with(L'\\') ? dir : dir + L'\\';
}

// Removes U+0020 from both ends (tabs and other white space stay).
std::wstring TrimBlanks(std::wstring_view text);

// Replaces every occurrence of `from` by `to`.
std::wstring ReplaceAll(std::wstring_view text, wchar_t from, wchar_t to);

}  // namespace ksr
