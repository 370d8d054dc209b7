#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "util/dir_listing.h"
#include "util/handles.h"
#include "util/held_path.h"
#include "util/result.h"

namespace ksr {

// Where the listed source must be found once opened (see WhereHeld): both in final-path form.
// Empty when the caller does not check.
struct SourcePlace {
    std::wstring listed;  // the listed name
    std::wstring root;    // the chosen folder
};

struct CopyResult {
    Status status;       // the first Win32 error met, with the file it concerns
    uint64_t bytes = 0;  // bytes read from the source and written to the target
    std::wstring md5;    // lower-case hex digest of those bytes; empty for 0 bytes

    // The store file was written by this copy. A copy that succeeded without it found the store
    // holding exactly the source's bytes already: that file is not this run's to remove.
    bool created = false;
    // Why nothing was copied although the source could be read: the store path holds something
    // else (status ERROR_FILE_EXISTS), or the opened source is not the listed file.
    enum class Refusal { None, StoreEntryDiffers, StoreEntryNotAFile, SourceOutside };
    Refusal refused = Refusal::None;
    // The opened source is another name below the chosen folder than the one listed (a link):
    // its bytes are copied, but it is never deleted.
    bool link = false;
    // Only for a check (CheckFileCopy): a copy would have created the store file.
    bool wouldCreate = false;

    // Only for a copy made to be followed by deleting its source:
    // the source, held open from before its first byte was read so that nobody can write,
    // rename or delete it, and opened with delete access so that it can be deleted through
    // this very handle. Empty when it could not be opened that way (`hold` says why).
    unique_hfile source;
    Status hold;
    // The store copy, flushed to disk and read back whole, held so nobody can write to it.
    unique_hfile stored;
    // The store copy (in `stored`) is not yet flushed (nor, for a deletion, read back) and still
    // lies under its temporary name `partial`: SettleStoreCopy must pass before its rows are
    // written, and DiscardStoreCopy removes it when it does not.
    bool verifyPending = false;
    // Where a new store copy lies until SettleStoreCopy moves it to its final name; empty once
    // it is there, or when it was written in place.
    std::wstring partial;

    [[nodiscard]] bool ok() const { return status.ok(); }
    // ERROR_SUCCESS when copied.
    [[nodiscard]] DWORD error() const { return Win32CodeOf(status); }
};

// ImportThenDelete flushes and reads back the store copy before the copy returns;
// ImportThenDeleteVerifyLater leaves that to VerifyStoreCopy, so flushes can be issued together.
enum class CopyPurpose { Import, ImportThenDelete, ImportThenDeleteVerifyLater };

// Copies `source` to `target` in one pass, hashing the bytes as they go. The store only grows:
// the target is created new (missing directories too) and nothing that exists is replaced. With
// `partialDir` (a folder of the run's own on the target's volume), the new file is written there
// under a name of its own and held open (`stored`, `partial`): until SettleStoreCopy has flushed
// it and moved it to `target`, nothing at `target` can be taken for the document. When
// the target exists already, it counts as the copy only if it is a plain file holding exactly
// the source's bytes (then not `created`); anything else refuses the copy. A copy that fails
// removes what it wrote. A copy for deletion is flushed to disk and read back before it counts as
// made. With `place`, the opened source must be the listed file or another below the chosen folder
// (`link`). Paths in the "\\?\" form are used exactly as given.
[[nodiscard]] CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target,
                                        CopyPurpose purpose = CopyPurpose::Import,
                                        const SourcePlace& place = {},
                                        const std::wstring& partialDir = {});

// What CopyFileHashed(source, target, CopyPurpose::Import, place) would make of the file,
// writing nothing: the source is opened and placed as a copy opens it, and a store entry already
// at `target` is compared as a copy compares it. With `sameAs`, an earlier source of this run a
// copy would have written to `target` first, the store file is compared as holding its bytes.
// Succeeds when the file would be imported, `wouldCreate` when its copy would create the store
// file; fails as the copy would.
[[nodiscard]] CopyResult CheckFileCopy(const std::wstring& source, const std::wstring& target,
                                       const SourcePlace& place = {},
                                       const std::wstring& sameAs = {});

// Flushes the store copy `file` (open for writing and reading) to disk and reads it back from
// its start: fails (ERROR_DATA_CHECKSUM_ERROR when it reads back otherwise) unless it holds
// `bytes` bytes of digest `md5` (lower-case hex).
[[nodiscard]] Status VerifyStoreCopy(HANDLE file, uint64_t bytes, const std::wstring& md5);
// Puts a new store copy on disk before rows may name it: flushes `file`, reads it back as
// VerifyStoreCopy does when `readBack`, then, when it lies under the temporary name `partial`,
// renames it through `file` to `target` without replacing anything there (ERROR_FILE_EXISTS when
// the name was taken meanwhile) and flushes that too. A failure leaves it under its temporary
// name.
[[nodiscard]] Status SettleStoreCopy(HANDLE file, uint64_t bytes, const std::wstring& md5,
                                     bool readBack, const std::wstring& partial,
                                     const std::wstring& target);
// No rows will name `copy`: the store file it created is removed through the handle this run
// still holds on it (`stored`), and its handles are closed. One that existed before stays, and
// so does one whose handle was let go: another run may have met it as its own copy since.
// Returns false when a file this copy created is left in the store.
bool DiscardStoreCopy(CopyResult& copy);

// Copies under way fail at their next piece with ERROR_OPERATION_ABORTED while set: the process
// is about to be ended (a console closed, a logoff, a shutdown).
void SetCopiesAbandoned(bool abandoned);

// Called before each flush of a new store copy with its final path: a nonzero Win32 error fails
// the flush with it. For tests; null removes it.
void SetStoreFlushFaultForTest(std::function<DWORD(const std::wstring& target)> fault);

// Deletes the file held by `source` (see CopyResult::source) through that handle, read-only
// files included, and closes it. Fails with why it is still there (the handle knows no path).
[[nodiscard]] Status DeleteHeldFile(unique_hfile& source);

// Copies the folder with all its content into `destinationParent` (which is created when
// missing), under the folder's own name. Single files that fail are passed over, and so are
// directory links and, with `place` (the folder's own final path and the chosen folder's), files
// whose opened handle lies outside the chosen folder. Nothing there is replaced. The result tells
// whether every listing inside the folder ran to its end.
[[nodiscard]] ListingResult CopyFolderInto(const std::wstring& folder,
                                           const std::wstring& destinationParent,
                                           const SourcePlace& place = {});

}  // namespace ksr
