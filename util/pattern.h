#pragma once

#include <string>
#include <string_view>

namespace ksr {

// Does `text`, trimmed of U+0020, match the pattern chosen by `selector` anywhere? "0".."8"
// pick a table entry; any other selector is the pattern itself. An invalid pattern is false.
bool MatchesPattern(std::wstring_view text, std::wstring_view selector);

}  // namespace ksr
