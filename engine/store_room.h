#pragma once

#include <cstdint>
#include <string>

#include "util/result.h"

namespace ksr {

// What a run that imports `bytes` needs free on the store's volume: the bytes and a margin for
// the folders, the log and the file system's own use, the larger of 1% of the bytes and 64 MiB.
[[nodiscard]] uint64_t RoomNeeded(uint64_t bytes);

// The bytes free for this user (quotas counted) on the volume that holds `directory`, or, when
// it does not exist yet, its nearest parent that does. Fails with the system's error and
// `directory` when they can't be read. Called on the run's thread.
[[nodiscard]] Result<uint64_t> FreeBytesFor(const std::wstring& directory);

}  // namespace ksr
