#pragma once

#include <windows.h>

#include <cstddef>
#include <functional>
#include <string>

#include "util/result.h"

namespace ksr {

// How a listing ended: `status` fails (with the Win32 error and the folder's path) unless the
// whole folder was listed; `started` tells a folder listed in part from one that could not be
// opened for listing at all.
struct ListingResult {
    Status status;
    bool started = false;
    [[nodiscard]] bool complete() const { return status.ok(); }
    // ERROR_SUCCESS when complete.
    [[nodiscard]] DWORD error() const { return Win32CodeOf(status); }
};

// Lists `directory` (an extended "\\?\" path, with or without a trailing "\"), calling `visit`
// for every entry but "." and ".." in the order the file system gives them, names exactly as
// stored; `visit` returns false to stop early (the result is then complete). A drive root or
// folder that holds nothing is complete and started. A FindNextFileW failure other than
// ERROR_NO_MORE_FILES (a removable or network drive dropping out) ends the listing with that
// error and started=true, so the caller can tell a folder that was listed only in part.
[[nodiscard]] ListingResult ListDirectory(
    const std::wstring& directory, const std::function<bool(const WIN32_FIND_DATAW&)>& visit);

// Test seam: while set, `fault(directory, entriesDelivered)` is asked before each further entry;
// a non-zero Win32 error makes the listing end there as if FindNextFileW had failed with it
// (and, asked with 0 entries, as if the folder could not be opened). Process-wide; set it before
// a run and clear it (nullptr) after.
void SetListingFaultForTest(
    std::function<DWORD(const std::wstring& directory, size_t entriesDelivered)> fault);

}  // namespace ksr
