#include "util/size_text.h"

namespace ksr {

std::wstring SizeText(uint64_t bytes) {
    constexpr uint64_t kKiB = 1024;
    constexpr uint64_t kMiB = kKiB * 1024;
    constexpr uint64_t kGiB = kMiB * 1024;
    const uint64_t unit = bytes >= kGiB ? kGiB : bytes >= kMiB ? kMiB : kKiB;
    const wchar_t* name = unit == kGiB ? L" GB" : unit == kMiB ? L" MB" : L" KB";
    // The tenth comes from the remainder, so no figure overflows on the way.
    const uint64_t tenths = bytes % unit * 10 / unit;
    return std::to_wstring(bytes / unit) + L"." + std::to_wstring(tenths) + name;
}

}  // namespace ksr
