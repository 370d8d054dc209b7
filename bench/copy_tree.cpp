#include "bench/copy_tree.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "util/handles.h"
#include "util/sync.h"

namespace ksr::bench {

namespace {

// Small enough to stay in the processor's cache between ReadFile and WriteFile: 1 MiB took the
// kernel three times as long to copy into the written file.
constexpr DWORD kBufferBytes = 256 << 10;

struct Job {
    std::wstring from, to;
};

// Names the files written under temporary names apart.
std::atomic<uint64_t> partialNumber{0};

class CopyQueue {
  public:
    void Push(Job job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }
    void Close() {
        {
            std::lock_guard lock(mutex_);
            closed_ = true;
        }
        ready_.notify_all();
    }
    // False once the queue is closed and empty.
    bool Pop(Job& job) {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return closed_ || !jobs_.empty(); });
        if (jobs_.empty()) return false;
        job = std::move(jobs_.front());
        jobs_.pop_front();
        return true;
    }

  private:
    ksr::SrwMutex mutex_;
    ksr::ConditionVariable ready_;
    std::deque<Job> jobs_;
    bool closed_ = false;
};

bool CopyOne(const Job& job, const std::wstring& partialDir, bool move, std::vector<char>& buffer,
             uint64_t& bytes) {
    ksr::unique_hfile in(CreateFileW(job.from.c_str(), GENERIC_READ | (move ? DELETE : 0),
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return false;
    // Written under a temporary name, flushed, then renamed through its handle without replacing
    // and flushed again, as a program does that must never leave a half-written file under the
    // final name.
    const std::wstring partial = partialDir + L"\\" + std::to_wstring(++partialNumber);
    ksr::unique_hfile out(CreateFileW(partial.c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    const auto settle = [&] {
        std::vector<uint8_t> rename(sizeof(FILE_RENAME_INFO) + job.to.size() * sizeof(wchar_t));
        auto* info = reinterpret_cast<FILE_RENAME_INFO*>(rename.data());
        info->ReplaceIfExists = FALSE;
        info->RootDirectory = nullptr;
        info->FileNameLength = static_cast<DWORD>(job.to.size() * sizeof(wchar_t));
        std::memcpy(info->FileName, job.to.c_str(), (job.to.size() + 1) * sizeof(wchar_t));
        return FlushFileBuffers(out.get()) &&
               SetFileInformationByHandle(out.get(), FileRenameInfo, info,
                                          static_cast<DWORD>(rename.size())) &&
               FlushFileBuffers(out.get());
    };
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), kBufferBytes, &got, nullptr)) return false;
        if (got == 0) break;
        DWORD put = 0;
        if (!WriteFile(out.get(), buffer.data(), got, &put, nullptr) || put != got) return false;
        bytes += got;
    }
    if (!settle()) return false;
    out.reset();
    if (!move) return true;
    FILE_DISPOSITION_INFO dispose{TRUE};
    return SetFileInformationByHandle(in.get(), FileDispositionInfo, &dispose, sizeof dispose);
}

void CopyFiles(CopyQueue& queue, const std::wstring& partialDir, bool move, CopyTally& tally) {
    std::vector<char> buffer(kBufferBytes);
    Job job;
    while (queue.Pop(job)) {
        uint64_t bytes = 0;
        if (CopyOne(job, partialDir, move, buffer, bytes)) {
            ++tally.files;
            tally.bytes += bytes;
        } else {
            ++tally.failed;
        }
    }
}

// `folder`\`name`, built in one string.
std::wstring Child(const std::wstring& folder, const std::wstring& name) {
    std::wstring path;
    path.reserve(folder.size() + 1 + name.size());
    return path.append(folder).append(1, L'\\').append(name);
}

// Lists `from` into `to` (which exists), queueing its files before walking its sub-folders.
void Walk(const std::wstring& from, const std::wstring& to, CopyQueue& queue, CopyTally& tally) {
    WIN32_FIND_DATAW entry;
    ksr::unique_hfind find(FindFirstFileExW((from + L"\\*").c_str(), FindExInfoBasic, &entry,
                                            FindExSearchNameMatch, nullptr,
                                            FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) ++tally.failed;
        return;
    }
    std::vector<std::wstring> folders;
    do {
        const std::wstring name = entry.cFileName;
        if (name == L"." || name == L"..") continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            folders.push_back(name);
        } else {
            queue.Push({Child(from, name), Child(to, name)});
        }
    } while (FindNextFileW(find.get(), &entry));
    find.reset();
    for (const std::wstring& name : folders) {
        const std::wstring target = Child(to, name);
        if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            ++tally.failed;
            continue;
        }
        Walk(Child(from, name), target, queue, tally);
    }
}

}  // namespace

CopyTally CopyTree(const std::wstring& source, const std::wstring& target, int threads, bool move) {
    // Beside the target, on its volume; gone again once every copy is moved out.
    const std::wstring partialDir = target + L".partial";
    CreateDirectoryW(partialDir.c_str(), nullptr);
    CopyQueue queue;
    std::vector<CopyTally> tallies(static_cast<size_t>(threads));
    std::vector<std::thread> copiers;
    copiers.reserve(tallies.size());
    for (CopyTally& tally : tallies) {
        copiers.emplace_back(CopyFiles, std::ref(queue), std::cref(partialDir), move,
                             std::ref(tally));
    }
    CopyTally total;
    if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        ++total.failed;
    } else {
        Walk(source, target, queue, total);
    }
    queue.Close();
    for (std::thread& copier : copiers) copier.join();
    RemoveDirectoryW(partialDir.c_str());
    for (const CopyTally& tally : tallies) {
        total.files += tally.files;
        total.bytes += tally.bytes;
        total.failed += tally.failed;
    }
    return total;
}

}  // namespace ksr::bench
