#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

namespace ksr {

// Everything up to and including the last "\"; empty when there is none. "/" is an ordinary
// character here.
std::wstring DirectoryPart(std::wstring_view path);

// The text after the last "\", trimmed of U+0020 at both ends. No value for the empty path.
std::optional<std::wstring> LastPathSegment(std::wstring_view path);

// Creates every missing level of `path`, top down; failures of single levels are passed over.
void EnsureDirectoryPath(std::wstring_view path);

// The form handed to file-system calls: absolute, "\" separators, with the "\\?\" prefix so
// paths longer than MAX_PATH work.
std::wstring ToExtendedPath(std::wstring_view path);

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
