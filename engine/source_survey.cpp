#include "engine/source_survey.h"

#include <algorithm>
#include <mutex>
#include <thread>

#include "engine/names.h"
#include "util/dir_listing.h"
#include "util/paths.h"
#include "util/sync.h"

namespace ksr {
namespace {

// Opening a folder for listing costs a few round trips to the file system whose latency, not
// work, dominates for folders of a few dozen files; several listings at once hide most of it.
constexpr unsigned kListingThreads = 4;

struct Folder {
    std::wstring path;    // absolute, ending in "\"
    std::wstring filDir;  // its store-relative directory, ending in "/"
    bool imported;        // false below a folder the walk does not enter
};

// What one lister gathers; merged once all listings are done.
struct Tally {
    uint64_t bytes = 0;
    size_t files = 0;
    std::vector<Error> broken;
    std::vector<uint64_t> keys;
    std::unordered_map<std::wstring, std::wstring> names;  // by folder, "\0"-ended
};

// Lists one folder into `tally` and appends its sub-folders to `found`.
ListingResult ListOne(const Folder& folder, bool withKeys, Tally& tally,
                      std::vector<Folder>& found) {
    return ListDirectory(ExtendedFromAbsolute(folder.path), [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring_view name = entry.cFileName;
        const bool isFolder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
        // The walk's rules: no system entries, no names the server could not serve.
        const bool imported = folder.imported &&
                              (isFolder || !(entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM)) &&
                              !IsAlteredByPathParsing(name) &&
                              !IsAlteredByPathParsing(isFolder ? CleanFolderName(entry.cFileName)
                                                               : CleanFileName(entry.cFileName));
        if (isFolder) {
            if (IsDirectoryLink(entry.dwFileAttributes)) return true;
            found.push_back({folder.path + entry.cFileName + L"\\",
                             folder.filDir + CleanFolderName(entry.cFileName) + L"/", imported});
            return true;
        }
        tally.bytes += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        if (!imported) return true;
        ++tally.files;
        if (withKeys) {
            tally.keys.push_back(StoreKey(folder.filDir + CleanFileName(entry.cFileName)));
            std::wstring& names = tally.names[folder.path];
            names += name;
            names += L'\0';
        }
        return true;
    });
}

Result<SourceSurvey> Survey(const std::wstring& folder, const std::wstring& filDir, bool withKeys) {
    Tally all;
    std::vector<Folder> waiting;
    const Folder top{WithSeparator(folder), filDir, true};
    const ListingResult first = ListOne(top, withKeys, all, waiting);
    if (!first.started) return Win32Error(first.error(), folder);
    if (!first.complete()) all.broken.push_back(Win32Error(first.error(), top.path));

    SrwMutex mutex;
    ConditionVariable changed;
    unsigned listing = 0;
    const auto lister = [&] {
        Tally mine;
        std::vector<Folder> found;
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !waiting.empty() || listing == 0; });
            if (waiting.empty()) break;
            const Folder next = std::move(waiting.back());
            waiting.pop_back();
            ++listing;
            lock.unlock();
            found.clear();
            ListingResult result;
            try {
                result = ListOne(next, withKeys, mine, found);
            } catch (...) {
                // An exception must not leave the thread; the folder counts as listed in part.
                result = {Win32Error(ERROR_NOT_ENOUGH_MEMORY, next.path), true};
            }
            // A folder that can't be listed at all is the walk's to report, with its holding copy.
            if (result.started && !result.complete())
                mine.broken.push_back(Win32Error(result.error(), next.path));
            lock.lock();
            --listing;
            for (Folder& subfolder : found) waiting.push_back(std::move(subfolder));
            if (!found.empty() || listing == 0) changed.notify_all();
        }
        all.bytes += mine.bytes;
        all.files += mine.files;
        all.broken.insert(all.broken.end(), mine.broken.begin(), mine.broken.end());
        all.keys.insert(all.keys.end(), mine.keys.begin(), mine.keys.end());
        all.names.merge(mine.names);
    };
    if (!waiting.empty()) {
        // All listers start even for a single sub-folder: the width of a tree shows only below it.
        std::vector<std::thread> threads;
        for (unsigned i = 1; i < kListingThreads; ++i) {
            // Fewer listers do the same work, only slower.
            try {
                threads.emplace_back(lister);
            } catch (...) {
                break;
            }
        }
        lister();
        for (std::thread& thread : threads) thread.join();
    }
    SourceSurvey survey;
    survey.bytes = all.bytes;
    survey.files = all.files;
    survey.brokenFolders = std::move(all.broken);
    survey.storeKeys = std::move(all.keys);
    survey.filesByFolder = std::move(all.names);
    return survey;
}

}  // namespace

uint64_t StoreKey(std::wstring_view filPath) {
    std::wstring upper(filPath);
    if (!upper.empty()) CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    uint64_t hash = 14695981039346656037ull;  // FNV-1a
    for (const wchar_t c : upper) {
        hash = (hash ^ static_cast<uint16_t>(c)) * 1099511628211ull;
    }
    return hash;
}

Result<SourceSurvey> SurveyFolder(const std::wstring& folder, const std::wstring& filDir) {
    return Survey(folder, filDir, true);
}

Result<uint64_t> FolderSize(const std::wstring& folder) {
    Result<SourceSurvey> survey = Survey(folder, L"", false);
    if (!survey) return std::move(survey).error();
    return survey->bytes;
}

StorePlan::StorePlan(std::vector<uint64_t> storeKeys) : keys_(std::move(storeKeys)) {
    std::sort(keys_.begin(), keys_.end());
    keys_.erase(std::unique(keys_.begin(), keys_.end()), keys_.end());
    keys_.shrink_to_fit();
    claimed_.resize(keys_.size());
}

StorePlan::Claim StorePlan::ClaimPath(std::wstring_view filPath) {
    const uint64_t key = StoreKey(filPath);
    const auto at = std::lower_bound(keys_.begin(), keys_.end(), key);
    if (at == keys_.end() || *at != key) {
        return unsurveyed_.insert(key).second ? Claim::First : Claim::Again;
    }
    const size_t index = static_cast<size_t>(at - keys_.begin());
    if (claimed_[index]) return Claim::Again;
    claimed_[index] = true;
    return Claim::First;
}

}  // namespace ksr
