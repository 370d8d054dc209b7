#pragma once

#include <cstdint>
#include <string>

namespace ksr {

// A byte count as Windows Explorer shows it: 1024-based, one decimal cut (not rounded) from the
// exact figure, "GB" from 1 GiB up, "MB" from 1 MiB, "KB" below that: "12.4 GB", "0.5 KB".
std::wstring SizeText(uint64_t bytes);

}  // namespace ksr
