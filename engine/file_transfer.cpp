#include "engine/file_transfer.h"

#include <cwctype>
#include <deque>
#include <mutex>
#include <thread>

#include "util/handles.h"
#include "util/md5.h"
#include "util/paths.h"
#include "util/sync.h"

namespace ksr {
namespace {

constexpr DWORD kChunk = 1 << 20;

std::wstring ToLower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

// Replaces `target` by `temp`; a read-only target is made writable first.
DWORD ReplaceTarget(const std::wstring& temp, const std::wstring& target) {
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL) &&
        MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return 0;
    }
    return error;
}

}  // namespace

void CreateDirectoryChain(const std::wstring& path) {
    // Below an existing parent one call does it; the whole chain is walked only when needed.
    const std::wstring directory = ReplaceAll(path, L'/', L'\\');
    if (CreateDirectoryW(ToExtendedPath(directory).c_str(), nullptr) ||
        GetLastError() == ERROR_ALREADY_EXISTS) {
        return;
    }
    EnsureDirectoryPath(directory);
}

namespace {

// Hashes the chunks of one large file on a thread of its own while the copying thread reads
// and writes the next ones, so the digest costs no time of its own on a machine with two cores.
class OverlappedHasher {
  public:
    static constexpr int kBuffers = 3;

    // Goes on with `hasher`, which has taken the file's first pieces already.
    explicit OverlappedHasher(Md5Hasher& hasher) : hasher_(hasher) {
        for (auto& buffer : buffers_) {
            buffer.resize(kChunk);
            free_.push_back(&buffer);
        }
        thread_ = std::thread([this] { Run(); });
    }
    ~OverlappedHasher() {
        {
            std::lock_guard lock(mutex_);
            closing_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }

    // A buffer to fill; waits while every buffer is being hashed.
    std::vector<uint8_t>* Take() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return !free_.empty(); });
        std::vector<uint8_t>* buffer = free_.front();
        free_.pop_front();
        return buffer;
    }
    void Hash(std::vector<uint8_t>* buffer, DWORD size) {
        {
            std::lock_guard lock(mutex_);
            full_.push_back({buffer, size});
        }
        changed_.notify_all();
    }
    void Give(std::vector<uint8_t>* buffer) {
        {
            std::lock_guard lock(mutex_);
            free_.push_back(buffer);
        }
        changed_.notify_all();
    }
    // Waits until every piece handed over is hashed.
    void Finish() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return full_.empty() && free_.size() == kBuffers; });
    }

  private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            changed_.wait(lock, [&] { return closing_ || !full_.empty(); });
            if (full_.empty()) return;
            const auto [buffer, size] = full_.front();
            full_.pop_front();
            lock.unlock();
            hasher_.Update(std::span(buffer->data(), size));
            lock.lock();
            free_.push_back(buffer);
            changed_.notify_all();
        }
    }

    Md5Hasher& hasher_;
    std::vector<uint8_t> buffers_[kBuffers];
    SrwMutex mutex_;
    ConditionVariable changed_;
    std::deque<std::vector<uint8_t>*> free_;
    std::deque<std::pair<std::vector<uint8_t>*, DWORD>> full_;
    bool closing_ = false;
    std::thread thread_;
};

// Copies `in` to `out`; returns the first error, ERROR_SUCCESS when all bytes went across.
DWORD CopyAndHash(HANDLE in, HANDLE out, CopyResult& result) {
    DWORD error = ERROR_SUCCESS;
    const auto copy = [&](uint8_t* data, DWORD& got) {
        if (!ReadFile(in, data, kChunk, &got, nullptr)) {
            error = GetLastError();
            return false;
        }
        if (got == 0) return false;
        DWORD put = 0;
        if (!WriteFile(out, data, got, &put, nullptr) || put != got) {
            error = put != got && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            return false;
        }
        result.bytes += got;
        return true;
    };
    // Most files end within the first piece, and hashing it here is cheaper than handing it
    // over. Deciding by the first read spares asking for the length of every file.
    static thread_local std::vector<uint8_t> first(kChunk);
    Md5Hasher hasher;
    DWORD got = 0;
    bool filled = false;
    while (!filled && copy(first.data(), got)) {
        hasher.Update(std::span(first.data(), got));
        filled = got == kChunk;
    }
    if (filled) {
        OverlappedHasher overlapped(hasher);
        for (;;) {
            std::vector<uint8_t>* buffer = overlapped.Take();
            if (!copy(buffer->data(), got)) {
                overlapped.Give(buffer);
                break;
            }
            overlapped.Hash(buffer, got);
        }
        overlapped.Finish();
    }
    if (error == ERROR_SUCCESS && result.bytes > 0)
        result.md5 = ToLower(BytesToHex(hasher.Final()));
    return error;
}

unique_hfile CreateTarget(const std::wstring& path, DWORD disposition) {
    return unique_hfile(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

}  // namespace

CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target) {
    CopyResult result;
    unique_hfile in(CreateFileW(ToExtendedPath(source).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) {
        result.error = GetLastError();
        return result;
    }
    // A new store file is written in place (and removed again if the copy fails); an existing
    // one is replaced only once its successor is complete, so it is never lost half-way.
    const std::wstring finalPath = ToExtendedPath(target);
    std::wstring writePath = finalPath;
    unique_hfile out = CreateTarget(writePath, CREATE_NEW);
    if (!out && GetLastError() == ERROR_PATH_NOT_FOUND) {
        CreateDirectoryChain(DirectoryPart(ReplaceAll(target, L'/', L'\\')));
        out = CreateTarget(writePath, CREATE_NEW);
    }
    const bool replacing =
        !out && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS);
    if (replacing) {
        writePath = finalPath + L".ksrimport-part";
        out = CreateTarget(writePath, CREATE_ALWAYS);
    }
    if (!out) {
        result.error = GetLastError();
        return result;
    }

    result.error = CopyAndHash(in.get(), out.get(), result);
    out.reset();
    if (result.ok() && replacing) result.error = ReplaceTarget(writePath, finalPath);
    if (!result.ok()) {
        DeleteFileW(writePath.c_str());
        result.bytes = 0;
        result.md5.clear();
    }
    return result;
}

void CopyFolderInto(const std::wstring& folder, const std::wstring& destinationParent) {
    std::wstring trimmed = folder;
    while (trimmed.size() > 1 && trimmed.ends_with(L'\\')) trimmed.pop_back();
    const std::wstring name = LastPathSegment(trimmed).value_or(L"");
    CreateDirectoryChain(destinationParent);
    const std::wstring destination = WithSeparator(destinationParent) + name;
    CreateDirectoryW(ToExtendedPath(destination).c_str(), nullptr);

    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileExW(ToExtendedPath(WithSeparator(trimmed) + L"*").c_str(),
                                       FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        const std::wstring from = WithSeparator(trimmed) + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!IsDirectoryLink(entry.dwFileAttributes)) CopyFolderInto(from, destination);
            continue;
        }
        CopyFileW(ToExtendedPath(from).c_str(),
                  ToExtendedPath(WithSeparator(destination) + entry.cFileName).c_str(), FALSE);
    } while (FindNextFileW(find.get(), &entry));
}

bool DeleteSourceFile(const std::wstring& path) {
    const std::wstring extended = ToExtendedPath(path);
    if (DeleteFileW(extended.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(extended.c_str());
}

}  // namespace ksr
