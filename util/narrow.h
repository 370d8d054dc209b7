#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace ksr {

// `text` in the code page `codePage` (CP_UTF8, CP_ACP, ...); characters the code page lacks
// become its default character.
[[nodiscard]] std::string Narrow(std::wstring_view text, UINT codePage);

}  // namespace ksr
