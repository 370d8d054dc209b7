#include "engine/source_survey.h"

#include <algorithm>
#include <atomic>

#include "engine/names.h"
#include "util/blocking_queue.h"
#include "util/dir_listing.h"
#include "util/paths.h"
#include "util/worker_pool.h"

namespace ksr {
namespace {

// Opening a folder for listing costs a few round trips to the file system whose latency, not
// work, dominates for folders of a few dozen files; several listings at once hide most of it.
constexpr unsigned kListingThreads = 4;

struct Folder {
    std::wstring path;      // absolute, ending in "\"
    std::wstring filDir;    // its store-relative directory, ending in "/"
    bool imported = false;  // false below a folder the walk does not enter
    // Its store directory exists as a plain folder: only then is it listed. Below one that does
    // not, none does.
    bool storeDirectory = false;
};

// A name as the store's file system compares names: letter case aside.
std::wstring NameKey(std::wstring_view name) {
    std::wstring key(name);
    if (!key.empty()) CharUpperBuffW(key.data(), static_cast<DWORD>(key.size()));
    return key;
}

// What a store directory holds already: its files' sizes and its plain folders, by NameKey.
struct StoreEntries {
    std::unordered_map<std::wstring, uint64_t> files;
    std::unordered_set<std::wstring> folders;
};

StoreEntries ListStoreDirectory(const std::wstring& storeRoot, const Folder& folder) {
    StoreEntries entries;
    if (storeRoot.empty() || !folder.storeDirectory) return entries;
    const std::wstring directory = storeRoot + L"\\" + ReplaceAll(folder.filDir, L'/', L'\\');
    // A store directory that can't be listed holds nothing the room may count on.
    (void)ListDirectory(directory, [&](const WIN32_FIND_DATAW& entry) {
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                entries.folders.insert(NameKey(entry.cFileName));
            }
        } else if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            entries.files.emplace(
                NameKey(entry.cFileName),
                (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow);
        }
        return true;
    });
    return entries;
}

// What one lister gathers; merged once all listings are done.
struct Tally {
    uint64_t bytes = 0;
    uint64_t bytesToCopy = 0;
    size_t files = 0;
    std::vector<Error> broken;
    std::vector<uint64_t> keys;
    std::unordered_map<std::wstring, std::wstring> names;  // by folder, "\0"-ended
};

// Lists one folder into `tally` and appends its sub-folders to `found`.
ListingResult ListOne(const Folder& folder, const std::wstring& storeRoot, bool withKeys,
                      Tally& tally, std::vector<Folder>& found) {
    const StoreEntries stored = ListStoreDirectory(storeRoot, folder);
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
            const std::wstring cleaned = CleanFolderName(entry.cFileName);
            found.push_back({folder.path + entry.cFileName + L"\\", folder.filDir + cleaned + L"/",
                             imported, stored.folders.contains(NameKey(cleaned))});
            return true;
        }
        const uint64_t size =
            (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        tally.bytes += size;
        if (!imported) return true;
        ++tally.files;
        // A store file of its size is taken for its copy: a run copies nothing there.
        const auto there = stored.files.find(NameKey(CleanFileName(entry.cFileName)));
        if (there == stored.files.end() || there->second != size) tally.bytesToCopy += size;
        if (withKeys) {
            tally.keys.push_back(StoreKey(folder.filDir + CleanFileName(entry.cFileName)));
            std::wstring& names = tally.names[folder.path];
            names += name;
            names += L'\0';
        }
        return true;
    });
}

// Lists the folders below the first one on several threads: each folder listed queues its
// sub-folders, and the queue closes once no folder is queued or being listed.
class Listers {
    using FolderQueue = BlockingQueue<Folder>;

  public:
    // Newest first, as a depth-first walk: fewer folders wait at a time.
    Listers(const std::wstring& storeRoot, bool withKeys)
        : storeRoot_(storeRoot),
          withKeys_(withKeys),
          queue_(FolderQueue::kUnbounded, FolderQueue::kUnbounded, FolderQueue::Order::Lifo) {}

    // Queues `folders` for listing. The queue does not close meanwhile: the folder whose listing
    // found them (or, for the first ones, the listers not yet started) is not finished.
    void Queue(std::vector<Folder>& folders) {
        for (Folder& folder : folders) {
            // Counted first: a folder listed at once must not find the count at zero.
            ++unfinished_;
            try {
                (void)queue_.Push(std::move(folder));
            } catch (...) {
                --unfinished_;
                throw;
            }
        }
    }
    // Lists every folder queued, and those below them, into `tallies` (kListingThreads of
    // them, one per lister).
    void Run(std::vector<Tally>& tallies) {
        // All listers start even for a single sub-folder: the width of a tree shows only below
        // it. Fewer listers do the same work, only slower; the calling thread is one of them.
        WorkerPool<Folder> pool(
            queue_, kListingThreads - 1, L"ksr list",
            [&](Folder& folder, unsigned lister) { List(folder, tallies[lister]); });
        pool.RunHere();
    }

  private:
    void List(const Folder& folder, Tally& tally) {
        std::vector<Folder> found;
        try {
            const ListingResult result = ListOne(folder, storeRoot_, withKeys_, tally, found);
            // A folder that can't be listed at all is the walk's to report, with its holding
            // copy.
            if (result.started && !result.complete()) {
                tally.broken.push_back(Win32Error(result.error(), folder.path));
            }
        } catch (...) {
            Broke(folder, tally);
        }
        try {
            Queue(found);
        } catch (...) {
            Broke(folder, tally);
        }
        if (--unfinished_ == 0) queue_.Close();
    }
    // Called in a catch block: the folder counts as listed in part. Should even that fail (out
    // of memory), the folder is left out.
    static void Broke(const Folder& folder, Tally& tally) noexcept {
        try {
            tally.broken.push_back(UnexpectedFailure(folder.path));
        } catch (...) {
        }
    }

    const std::wstring& storeRoot_;
    const bool withKeys_;
    FolderQueue queue_;
    std::atomic<size_t> unfinished_{0};  // folders queued or being listed
};

Result<SourceSurvey> Survey(const std::wstring& folder, const std::wstring& filDir,
                            const std::wstring& storeRoot, bool withKeys) {
    std::vector<Tally> tallies(kListingThreads);
    Tally& top = tallies.front();
    std::vector<Folder> below;
    bool storeDirectory = false;
    if (!storeRoot.empty()) {
        const DWORD attributes =
            GetFileAttributesW((storeRoot + L"\\" + ReplaceAll(filDir, L'/', L'\\')).c_str());
        storeDirectory = attributes != INVALID_FILE_ATTRIBUTES &&
                         (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
                         !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    const Folder first{WithSeparator(folder), filDir, true, storeDirectory};
    const ListingResult listed = ListOne(first, storeRoot, withKeys, top, below);
    if (!listed.started) return Win32Error(listed.error(), folder);
    if (!listed.complete()) top.broken.push_back(Win32Error(listed.error(), first.path));
    if (!below.empty()) {
        Listers listers(storeRoot, withKeys);
        listers.Queue(below);
        listers.Run(tallies);
    }
    SourceSurvey survey;
    for (Tally& tally : tallies) {
        survey.bytes += tally.bytes;
        survey.bytesToCopy += tally.bytesToCopy;
        survey.files += tally.files;
        survey.brokenFolders.insert(survey.brokenFolders.end(), tally.broken.begin(),
                                    tally.broken.end());
        survey.storeKeys.insert(survey.storeKeys.end(), tally.keys.begin(), tally.keys.end());
        survey.filesByFolder.merge(tally.names);
    }
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

Result<SourceSurvey> SurveyFolder(const std::wstring& folder, const std::wstring& filDir,
                                  const std::wstring& storeRoot) {
    return Survey(folder, filDir, storeRoot, true);
}

Result<uint64_t> FolderSize(const std::wstring& folder) {
    Result<SourceSurvey> survey = Survey(folder, L"", {}, false);
    if (!survey) return std::move(survey).error();
    return survey->bytes;
}

StorePlan::StorePlan(std::vector<uint64_t> storeKeys) : keys_(std::move(storeKeys)) {
    std::sort(keys_.begin(), keys_.end());
    size_t unique = 0;
    for (size_t at = 0; at < keys_.size(); ++unique) {
        const size_t from = at;
        while (at < keys_.size() && keys_[at] == keys_[from]) ++at;
        keys_[unique] = keys_[from];
        shared_.push_back(at - from > 1);
    }
    keys_.resize(unique);
    keys_.shrink_to_fit();
    claimed_.resize(keys_.size());
}

bool StorePlan::Shared(std::wstring_view filPath) const {
    const uint64_t key = StoreKey(filPath);
    const auto at = std::lower_bound(keys_.begin(), keys_.end(), key);
    return at == keys_.end() || *at != key || shared_[static_cast<size_t>(at - keys_.begin())];
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
