#include "engine/folder_size.h"

#include <windows.h>

#include <mutex>
#include <thread>
#include <vector>

#include "util/handles.h"
#include "util/paths.h"
#include "util/sync.h"

namespace ksr {
namespace {

// Opening a folder for listing costs a few round trips to the file system whose latency, not
// work, dominates for folders of a few dozen files; several listings at once hide most of it.
constexpr unsigned kListingThreads = 4;

// Adds the sizes of the files in `folder` to `total` and appends its sub-folders (directory
// links excepted) to `subfolders`. False, with the error left in GetLastError, when the folder
// can't be listed.
bool ListFolder(const std::wstring& folder, uint64_t& total,
                std::vector<std::wstring>& subfolders) {
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileExW(ToExtendedPath(WithSeparator(folder) + L"*").c_str(),
                                       FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return false;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!IsDirectoryLink(entry.dwFileAttributes))
                subfolders.push_back(WithSeparator(folder) + entry.cFileName);
        } else {
            total += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    } while (FindNextFileW(find.get(), &entry));
    return true;
}

}  // namespace

std::optional<uint64_t> FolderSize(const std::wstring& folder) {
    uint64_t total = 0;
    std::vector<std::wstring> waiting;
    if (!ListFolder(folder, total, waiting)) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return 0;
        return std::nullopt;
    }
    if (waiting.empty()) return total;

    SrwMutex mutex;
    ConditionVariable changed;
    unsigned listing = 0;
    const auto lister = [&] {
        uint64_t mine = 0;
        std::vector<std::wstring> found;
        std::unique_lock lock(mutex);
        for (;;) {
            changed.wait(lock, [&] { return !waiting.empty() || listing == 0; });
            if (waiting.empty()) break;
            const std::wstring next = std::move(waiting.back());
            waiting.pop_back();
            ++listing;
            lock.unlock();
            found.clear();
            ListFolder(next, mine, found);
            lock.lock();
            --listing;
            for (std::wstring& subfolder : found) waiting.push_back(std::move(subfolder));
            if (!found.empty() || listing == 0) changed.notify_all();
        }
        total += mine;
    };
    // All listers start even for a single sub-folder: the width of a tree shows only below it.
    std::vector<std::thread> threads;
    for (unsigned i = 1; i < kListingThreads; ++i) threads.emplace_back(lister);
    lister();
    for (std::thread& thread : threads) thread.join();
    return total;
}

}  // namespace ksr
