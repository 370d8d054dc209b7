#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace ksr {

// The byte total of every file below `folder`; sub-folders that can't be listed and
// directory links add nothing. No value when `folder` itself can't be listed.
std::optional<uint64_t> FolderSize(const std::wstring& folder);

}  // namespace ksr
