#pragma once

#include <string>

namespace ksr {

// The value of `key` in `section`, trimmed of blanks, at most 127 characters; empty text for
// a missing file, section or key.
std::wstring ReadIniString(const std::wstring& path, const std::wstring& section,
                           const std::wstring& key);

}  // namespace ksr
