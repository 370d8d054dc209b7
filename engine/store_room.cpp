#include "engine/store_room.h"

#include <windows.h>

#include <algorithm>
#include <limits>

#include "util/paths.h"

namespace ksr {

uint64_t RoomNeeded(uint64_t bytes) {
    constexpr uint64_t kLeastMargin = uint64_t{64} << 20;
    const uint64_t margin = std::max(bytes / 100, kLeastMargin);
    return bytes > std::numeric_limits<uint64_t>::max() - margin
               ? std::numeric_limits<uint64_t>::max()
               : bytes + margin;
}

Result<uint64_t> FreeBytesFor(const std::wstring& directory) {
    std::wstring at = directory;
    while (at.ends_with(L'\\')) at.pop_back();
    for (;;) {
        ULARGE_INTEGER available{};
        // A UNC share is named with its trailing "\".
        if (GetDiskFreeSpaceExW(WithSeparator(at).c_str(), &available, nullptr, nullptr)) {
            return available.QuadPart;
        }
        const DWORD error = GetLastError();
        std::wstring parent = DirectoryPart(at);
        while (parent.ends_with(L'\\')) parent.pop_back();
        const bool missing = error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND;
        // Up to the volume's root, and no further than a "\\?\" prefix.
        if (!missing || parent.empty() || parent.ends_with(L'?'))
            return Win32Error(error, directory);
        at = std::move(parent);
    }
}

}  // namespace ksr
