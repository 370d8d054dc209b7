#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/dir_listing.h"
#include "util/handles.h"
#include "util/result.h"

namespace ksr {

struct CopyResult {
    Status status;       // the first Win32 error met, with the file it concerns
    uint64_t bytes = 0;  // bytes read from the source and written to the target
    std::wstring md5;    // lower-case hex digest of those bytes; empty for 0 bytes

    // Only for a copy made to be followed by deleting its source:
    // the source, held open from before its first byte was read so that nobody can write,
    // rename or delete it, and opened with delete access so that it can be deleted through
    // this very handle. Empty when it could not be opened that way (`hold` says why).
    unique_hfile source;
    Status hold;
    // The store copy, flushed to disk and read back whole, held so nobody can write to it.
    unique_hfile stored;
    // The store file this copy replaced, moved aside under this name ("\\?\" form) until the
    // new file's rows are in: KeepNewStoreFile or RestorePreviousStoreFile settles it.
    std::wstring previous;
    // A failed copy that had moved a store file aside: fails when that file could not be
    // brought back, so the rows naming it no longer name what the store holds.
    Status restore;
    // The store copy (in `stored`) is not yet flushed and read back: VerifyStoreCopy must pass
    // before its rows are written, and DiscardStoreCopy removes it when it does not.
    bool verifyPending = false;

    [[nodiscard]] bool ok() const { return status.ok(); }
    // ERROR_SUCCESS when copied.
    [[nodiscard]] DWORD error() const { return Win32CodeOf(status); }
};

// ImportThenDelete flushes and reads back the store copy before the copy returns;
// ImportThenDeleteVerifyLater leaves that to VerifyStoreCopy where it can be done (a copy that
// replaced a store file is verified at once all the same), so flushes can be issued together.
enum class CopyPurpose { Import, ImportThenDelete, ImportThenDeleteVerifyLater };

// Copies `source` to `target` in one pass, hashing the bytes as they go. Missing target
// directories are created and an existing target is replaced only once the new copy is
// complete, so a failed copy never leaves a half-written or lost store file. A copy for
// deletion is flushed to disk and read back before it counts as made. Paths in the "\\?\"
// form are used exactly as given.
[[nodiscard]] CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target,
                                        CopyPurpose purpose = CopyPurpose::Import);

// Flushes the store copy `file` (open for writing and reading) to disk and reads it back from
// its start: fails (ERROR_DATA_CHECKSUM_ERROR when it reads back otherwise) unless it holds
// `bytes` bytes of digest `md5` (lower-case hex).
[[nodiscard]] Status VerifyStoreCopy(HANDLE file, uint64_t bytes, const std::wstring& md5);
// Removes a store copy that failed VerifyStoreCopy from `target`, so no rows ever name it, and
// brings back the store file it replaced. Fails, with `target`, when that file could not come
// back.
[[nodiscard]] Status DiscardStoreCopy(CopyResult& copy, const std::wstring& target);

// The new file's rows are in: the store file it replaced goes.
void KeepNewStoreFile(CopyResult& copy);
// The new file's rows failed: the store file it replaced comes back under `target`, so the rows
// that name it stay true. Fails, with `target`, when it could not.
[[nodiscard]] Status RestorePreviousStoreFile(CopyResult& copy, const std::wstring& target);
// No rows will be written for `copy`, made or failed: the store file it replaced comes back.
// Fails when that file could not come back, now or when the failed copy itself tried.
[[nodiscard]] Status RestoreAfterAbandonedCopy(CopyResult& copy, const std::wstring& target);

// Deletes the file held by `source` (see CopyResult::source) through that handle, read-only
// files included, and closes it. Fails with why it is still there (the handle knows no path).
[[nodiscard]] Status DeleteHeldFile(unique_hfile& source);

// Copies the folder with all its content into `destinationParent` (which is created when
// missing), under the folder's own name. Single files that fail are passed over; the result
// tells whether every listing inside the folder ran to its end.
[[nodiscard]] ListingResult CopyFolderInto(const std::wstring& folder,
                                           const std::wstring& destinationParent);

}  // namespace ksr
