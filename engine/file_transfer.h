#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ksr {

struct CopyResult {
    DWORD error = ERROR_SUCCESS;  // the first Win32 error met; ERROR_SUCCESS when copied
    uint64_t bytes = 0;           // bytes read from the source and written to the target
    std::wstring md5;             // lower-case hex digest of those bytes; empty for 0 bytes
    bool ok() const { return error == ERROR_SUCCESS; }
};

// Copies `source` to `target` in one pass, hashing the bytes as they go. Missing target
// directories are created and an existing target is replaced only once the new copy is
// complete, so a failed copy never leaves a half-written or lost store file.
CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target);

// Copies the folder with all its content into `destinationParent` (which is created when
// missing), under the folder's own name; failures are passed over.
void CopyFolderInto(const std::wstring& folder, const std::wstring& destinationParent);

// Deletes a source file, read-only ones included.
bool DeleteSourceFile(const std::wstring& path);

// Creates every missing level of a directory whose path mixes "\" and "/".
void CreateDirectoryChain(const std::wstring& path);

}  // namespace ksr
