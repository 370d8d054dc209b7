// The least a Windows program does to copy a folder tree: list it, and per file open the
// source, read it, write it to a new file and close both. No digest, no rows. The benchmark
// times the import engine against this under the same Wine.
//   copyfloor <copy threads> <source folder> <target folder>
// The calling thread lists the tree (files before sub-folders, as the engine walks) and creates
// the target folders; the copy threads take the files in listing order.
// Prints: seconds=<wall time> files=<copied> bytes=<copied> failed=<files and folders not copied>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "util/handles.h"
#include "util/sync.h"

namespace {

constexpr DWORD kBufferBytes = 1 << 20;

struct Job {
    std::wstring from, to;
};

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

struct Tally {
    uint64_t files = 0, bytes = 0, failed = 0;
};

bool CopyOne(const Job& job, std::vector<char>& buffer, uint64_t& bytes) {
    ksr::unique_hfile in(CreateFileW(job.from.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) return false;
    ksr::unique_hfile out(CreateFileW(job.to.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!out) return false;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), kBufferBytes, &got, nullptr)) return false;
        if (got == 0) return true;
        DWORD put = 0;
        if (!WriteFile(out.get(), buffer.data(), got, &put, nullptr) || put != got) return false;
        bytes += got;
    }
}

void CopyFiles(CopyQueue& queue, Tally& tally) {
    std::vector<char> buffer(kBufferBytes);
    Job job;
    while (queue.Pop(job)) {
        uint64_t bytes = 0;
        if (CopyOne(job, buffer, bytes)) {
            ++tally.files;
            tally.bytes += bytes;
        } else {
            ++tally.failed;
        }
    }
}

// Lists `from` into `to` (which exists), queueing its files before walking its sub-folders.
void Walk(const std::wstring& from, const std::wstring& to, CopyQueue& queue, Tally& tally) {
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
            queue.Push({from + L"\\" + name, to + L"\\" + name});
        }
    } while (FindNextFileW(find.get(), &entry));
    find.reset();
    for (const std::wstring& name : folders) {
        const std::wstring target = to + L"\\" + name;
        if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
            ++tally.failed;
            continue;
        }
        Walk(from + L"\\" + name, target, queue, tally);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    const int threads = _wtoi(argv[1]);
    if (threads < 1 || threads > 64) return 2;
    const std::wstring source = argv[2], target = argv[3];

    const auto start = std::chrono::steady_clock::now();
    CopyQueue queue;
    std::vector<Tally> tallies(static_cast<size_t>(threads));
    std::vector<std::thread> copiers;
    for (Tally& tally : tallies) copiers.emplace_back(CopyFiles, std::ref(queue), std::ref(tally));
    Tally walk;
    if (!CreateDirectoryW(target.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS) {
        ++walk.failed;
    } else {
        Walk(source, target, queue, walk);
    }
    queue.Close();
    for (std::thread& copier : copiers) copier.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    for (const Tally& tally : tallies) {
        walk.files += tally.files;
        walk.bytes += tally.bytes;
        walk.failed += tally.failed;
    }
    std::printf("seconds=%.3f files=%llu bytes=%llu failed=%llu\n", seconds,
                static_cast<unsigned long long>(walk.files),
                static_cast<unsigned long long>(walk.bytes),
                static_cast<unsigned long long>(walk.failed));
    return walk.failed == 0 ? 0 : 1;
}
