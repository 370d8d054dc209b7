#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "util/result.h"

namespace ksr {

// The store path a file is written to, as a number: store-relative paths that the file system
// takes for one file (they differ only in letter case) give the same key.
uint64_t StoreKey(std::wstring_view filPath);

// What the pass over the chosen folder learns before anything is copied.
struct SourceSurvey {
    uint64_t bytes = 0;  // every file below the folder
    // The bytes of the files the import will copy whose store path holds no file of their size
    // yet: what the store's volume must find room for.
    uint64_t bytesToCopy = 0;
    size_t files = 0;  // the files the import will copy
    // Why the listing of a folder broke off part-way: the Win32 error, with the folder (as
    // given, with a trailing backslash) as its path.
    std::vector<Error> brokenFolders;
    // The store key of every file the import will copy, one entry per file.
    std::vector<uint64_t> storeKeys;
    // By folder (absolute, ending in "\"), the names of the files the import will copy there,
    // each ended by "\0".
    std::unordered_map<std::wstring, std::wstring> filesByFolder;
};

// Lists `folder` (an absolute path) and everything below it, several folders at once. Files
// are keyed by the store path the import gives them below `filDir` ("/"-separated, ending in
// "/"), with the walk's rules: system entries, directory links and names the server can't
// serve are left out (system folders are walked, system files are not), folder names are
// cleaned. With `storeRoot` ("\\?\" form), each store directory that exists is listed once
// for the files already there. Fails with the listing's error when `folder` itself can't be
// listed.
[[nodiscard]] Result<SourceSurvey> SurveyFolder(const std::wstring& folder,
                                                const std::wstring& filDir,
                                                const std::wstring& storeRoot = {});

// The byte total of every file below `folder`; sub-folders that can't be listed and directory
// links add nothing. Fails with the listing's error when `folder` itself can't be listed.
[[nodiscard]] Result<uint64_t> FolderSize(const std::wstring& folder);

// Which store paths of a run more than one source is written to, and which of them the walk has
// claimed so far: a source whose store path an earlier one of the run claimed must wait until
// that one is settled, so that it meets the store file as it stays.
class StorePlan {
  public:
    enum class Claim {
        First,  // no earlier source of this run was written there
        Again,  // an earlier source of this run claimed the same store path
    };

    StorePlan() = default;
    explicit StorePlan(std::vector<uint64_t> storeKeys);

    // Called by the walk once per file, in walk order.
    Claim ClaimPath(std::wstring_view filPath);
    // Whether more than one source may claim the store path: the survey found several, or it
    // found none (a file that came after it).
    [[nodiscard]] bool Shared(std::wstring_view filPath) const;

  private:
    std::vector<uint64_t> keys_;               // sorted, unique
    std::vector<bool> claimed_;                // per key
    std::vector<bool> shared_;                 // per key: surveyed more than once
    std::unordered_set<uint64_t> unsurveyed_;  // claimed keys the survey did not see
};

}  // namespace ksr
