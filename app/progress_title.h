#pragma once

#include <string>

namespace ksr {

// The window's title while a run shows `progress` in Label2: "37% – <title>" for a
// percentage, `title` itself for anything else (the empty text at the end of a run).
std::wstring ProgressTitle(const std::wstring& progress, const std::wstring& title);

}  // namespace ksr
