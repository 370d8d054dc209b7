#include "engine/file_transfer.h"

#include <deque>
#include <mutex>
#include <thread>

#include "util/guid.h"
#include "util/handles.h"
#include "util/hex.h"
#include "util/md5.h"
#include "util/paths.h"
#include "util/sync.h"

// A store copy that reads back otherwise than it was written; older SDK headers lack it.
#ifndef ERROR_DATA_CHECKSUM_ERROR
#define ERROR_DATA_CHECKSUM_ERROR 323L
#endif

namespace ksr {
namespace {

// What one ReadFile and WriteFile carry. A chunk that stays in the processor's cache between
// the two is what makes copying cheap: with 1 MiB chunks the kernel's copy into the written
// file took three times the system time it takes with 256 KiB ones.
constexpr DWORD kChunk = 256 << 10;
// The thread that copies a file digests this much of it itself; only the rest of a longer file
// goes to a hashing thread of its own, whose start then pays.
constexpr uint64_t kHashedInline = 1 << 20;

// A name beside `path` that no other file has, for a copy in progress or an old store file.
std::wstring SideName(const std::wstring& path, const wchar_t* kind) {
    return path + L"." + NewGuidText().value_or(L"") + kind;
}

Status DeleteEvenReadOnly(const std::wstring& path) {
    if (DeleteFileW(path.c_str())) return {};
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!DeleteFileW(path.c_str())) return Win32Failure(path);
    return {};
}

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

// Copies `in` (the file `from`) to `out` (the file `to`); fails with the first error and the
// file it concerns unless all bytes went across.
Status CopyAndHash(HANDLE in, const std::wstring& from, HANDLE out, const std::wstring& to,
                   CopyResult& result) {
    Status error;
    const auto copy = [&](uint8_t* data, DWORD& got) {
        if (!ReadFile(in, data, kChunk, &got, nullptr)) {
            error = Win32Failure(from);
            return false;
        }
        if (got == 0) return false;
        DWORD put = 0;
        if (!WriteFile(out, data, got, &put, nullptr) || put != got) {
            const DWORD code = GetLastError();
            error = Win32Error(put != got && code == 0 ? ERROR_WRITE_FAULT : code, to);
            return false;
        }
        result.bytes += got;
        return true;
    };
    // Most files end within the first pieces, and hashing them here is cheaper than handing
    // them over. Deciding by what was read spares asking for the length of every file.
    static thread_local std::vector<uint8_t> first(kChunk);
    Md5Hasher hasher;
    DWORD got = 0;
    bool large = false;
    while (!large && copy(first.data(), got)) {
        hasher.Update(std::span(first.data(), got));
        large = result.bytes >= kHashedInline;
    }
    if (large) {
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
    if (error.ok() && result.bytes > 0) {
        const Result<Md5Digest> digest = hasher.Final();
        if (!digest) return Win32Error(digest.error().win32, from);
        result.md5 = BytesToHex(*digest);
    }
    return error;
}

unique_hfile CreateTarget(const std::wstring& path, DWORD disposition, CopyPurpose purpose) {
    // A copy that is read back before its source is deleted keeps readers out of nothing but
    // lets nobody else write while it is held.
    const bool readBack = purpose != CopyPurpose::Import;
    return unique_hfile(CreateFileW(path.c_str(), GENERIC_WRITE | (readBack ? GENERIC_READ : 0),
                                    readBack ? FILE_SHARE_READ : 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// Removes a store file whose copy did not complete, also when an exception leaves the copy;
// the file's handle is closed first, since an open file can't be deleted.
class PartialFile {
  public:
    PartialFile(std::wstring path, unique_hfile& handle)
        : path_(std::move(path)), handle_(handle) {}
    PartialFile(const PartialFile&) = delete;
    PartialFile& operator=(const PartialFile&) = delete;
    ~PartialFile() {
        if (path_.empty()) return;
        handle_.reset();
        DeleteFileW(path_.c_str());
    }
    void Keep() { path_.clear(); }

  private:
    std::wstring path_;
    unique_hfile& handle_;
};

// Reads `file` from its start and compares length and digest with what was copied. The buffer
// is smaller than a copy's: several threads may read back at once. `path` names the file in the
// error, when known.
Status ReadBack(HANDLE file, uint64_t bytes, const std::wstring& digest,
                const std::wstring& path = {}) {
    constexpr DWORD kReadBackChunk = 64 << 10;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return Win32Failure(path);
    static thread_local std::vector<uint8_t> buffer(kReadBackChunk);
    Md5Hasher hasher;
    uint64_t total = 0;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), kReadBackChunk, &got, nullptr)) {
            return Win32Failure(path);
        }
        if (got == 0) break;
        hasher.Update(std::span(buffer.data(), got));
        total += got;
    }
    std::wstring md5;
    if (total > 0) {
        const Result<Md5Digest> read = hasher.Final();
        if (!read) return Win32Error(read.error().win32, path);
        md5 = BytesToHex(*read);
    }
    if (total != bytes || md5 != digest) return Win32Error(ERROR_DATA_CHECKSUM_ERROR, path);
    return {};
}

unique_hfile OpenSource(const std::wstring& path, DWORD access) {
    return unique_hfile(CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

}  // namespace

CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target,
                          CopyPurpose purpose) {
    CopyResult result;
    const bool forDeletion = purpose != CopyPurpose::Import;
    const std::wstring from = ToExtendedPath(source);
    unique_hfile in;
    if (forDeletion) {
        // Others may go on reading; nobody may write, rename or delete it while it is held.
        in = OpenSource(from, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES);
        if (!in) result.hold = Win32Failure(source);
    }
    if (!in) in = OpenSource(from, GENERIC_READ);
    if (!in) {
        result.status = Win32Failure(source);
        return result;
    }
    // A new store file is written in place (and removed again if the copy fails). An existing
    // one is moved aside once its successor is complete, and stays until the new file's rows
    // are in, so that failing rows can have it back: the rows that name it stay true.
    const std::wstring finalPath = ToExtendedPath(target);
    std::wstring writePath = finalPath;
    unique_hfile out = CreateTarget(writePath, CREATE_NEW, purpose);
    if (!out && GetLastError() == ERROR_PATH_NOT_FOUND) {
        std::wstring directory = DirectoryPart(finalPath);
        if (directory.size() > 1) directory.pop_back();
        if (Status made = CreateDirectoryLevels(directory); !made) {
            result.status = std::move(made);
            return result;
        }
        out = CreateTarget(writePath, CREATE_NEW, purpose);
    }
    const bool replacing =
        !out && (GetLastError() == ERROR_FILE_EXISTS || GetLastError() == ERROR_ALREADY_EXISTS);
    if (replacing) {
        writePath = SideName(finalPath, L".ksrimport-part");
        out = CreateTarget(writePath, CREATE_NEW, purpose);
    }
    if (!out) {
        result.status = Win32Failure(target);
        return result;
    }
    PartialFile partial(writePath, out);

    result.status = CopyAndHash(in.get(), source, out.get(), target, result);
    // A source is deleted only once its copy is on disk, not just in the cache. A replaced
    // store file's successor is reopened for reading only, so it is flushed here in any case.
    const bool verifyNow = purpose == CopyPurpose::ImportThenDelete ||
                           (purpose == CopyPurpose::ImportThenDeleteVerifyLater && replacing);
    if (result.ok() && verifyNow && !FlushFileBuffers(out.get())) {
        result.status = Win32Failure(target);
    }
    if (result.ok() && replacing) {
        out.reset();
        const std::wstring previous = SideName(finalPath, L".ksrimport-old");
        if (!MoveFileExW(finalPath.c_str(), previous.c_str(), MOVEFILE_WRITE_THROUGH)) {
            result.status = Win32Failure(target);
        } else if (!MoveFileExW(writePath.c_str(), finalPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
            result.status = Win32Failure(target);
            if (!MoveFileExW(previous.c_str(), finalPath.c_str(), MOVEFILE_WRITE_THROUGH)) {
                result.restore = Win32Failure(target);
            }
        } else {
            partial.Keep();
            result.previous = previous;
            if (forDeletion) {
                out = unique_hfile(CreateFileW(finalPath.c_str(), GENERIC_READ, FILE_SHARE_READ,
                                               nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN,
                                               nullptr));
                if (!out) result.status = Win32Failure(target);
            }
        }
    }
    // Rows must name exactly these bytes: a store copy that can't be read back as them is no
    // copy.
    if (result.ok() && verifyNow) {
        result.status = ReadBack(out.get(), result.bytes, result.md5, target);
    }
    if (!result.ok()) {
        if (!result.previous.empty()) {
            out.reset();
            // The copy's own failure is reported first; the old file comes back if it can.
            result.restore = RestorePreviousStoreFile(result, target);
        }
        result.bytes = 0;
        result.md5.clear();
        return result;
    }
    partial.Keep();
    if (forDeletion) {
        result.stored = std::move(out);
        result.source = std::move(in);
        result.verifyPending = !verifyNow;
    }
    return result;
}

Status VerifyStoreCopy(HANDLE file, uint64_t bytes, const std::wstring& md5) {
    if (!FlushFileBuffers(file)) return Win32Failure();
    return ReadBack(file, bytes, md5);
}

Status DiscardStoreCopy(CopyResult& copy, const std::wstring& target) {
    copy.stored.reset();
    copy.source.reset();
    Status restored;
    if (!copy.previous.empty()) {
        restored = RestorePreviousStoreFile(copy, target);
    } else {
        DeleteFileW(ToExtendedPath(target).c_str());
    }
    copy.verifyPending = false;
    copy.bytes = 0;
    copy.md5.clear();
    return restored;
}

void KeepNewStoreFile(CopyResult& copy) {
    if (copy.previous.empty()) return;
    // An old store file that can't go stays beside the new one, under a name no row uses.
    (void)DeleteEvenReadOnly(copy.previous);
    copy.previous.clear();
}

Status RestorePreviousStoreFile(CopyResult& copy, const std::wstring& target) {
    if (copy.previous.empty()) return {};
    copy.stored.reset();
    Status error;
    if (!MoveFileExW(copy.previous.c_str(), ToExtendedPath(target).c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = Win32Failure(target);
    }
    copy.previous.clear();
    return error;
}

Status RestoreAfterAbandonedCopy(CopyResult& copy, const std::wstring& target) {
    return copy.ok() ? RestorePreviousStoreFile(copy, target) : copy.restore;
}

Status DeleteHeldFile(unique_hfile& source) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    if (SetFileInformationByHandle(source.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
        source.reset();
        return {};
    }
    const DWORD error = GetLastError();
    FILE_BASIC_INFO basic{};
    if (error != ERROR_ACCESS_DENIED ||
        !GetFileInformationByHandleEx(source.get(), FileBasicInfo, &basic, sizeof basic) ||
        !(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) {
        return Win32Error(error);
    }
    // A read-only file refuses deletion until the attribute is gone; it comes back should the
    // deletion still fail. Zero times leave the file's times as they are.
    const DWORD original = basic.FileAttributes;
    FILE_BASIC_INFO writable{};
    writable.FileAttributes = original & ~FILE_ATTRIBUTE_READONLY;
    if (writable.FileAttributes == 0) writable.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(source.get(), FileBasicInfo, &writable, sizeof writable)) {
        return Win32Failure();
    }
    if (SetFileInformationByHandle(source.get(), FileDispositionInfo, &dispose, sizeof dispose)) {
        source.reset();
        return {};
    }
    const DWORD refused = GetLastError();
    FILE_BASIC_INFO restore{};
    restore.FileAttributes = original;
    SetFileInformationByHandle(source.get(), FileBasicInfo, &restore, sizeof restore);
    return Win32Error(refused);
}

ListingResult CopyFolderInto(const std::wstring& folder, const std::wstring& destinationParent) {
    std::wstring trimmed = folder;
    while (trimmed.size() > 1 && trimmed.ends_with(L'\\')) trimmed.pop_back();
    const std::wstring name = LastPathSegment(trimmed).value_or(L"");
    std::wstring parent = ExtendedFromAbsolute(destinationParent);
    while (parent.ends_with(L'\\')) parent.pop_back();
    (void)CreateDirectoryLevels(parent);  // what can't be created shows in the copies below
    const std::wstring destination = parent + L"\\" + name;
    CreateDirectoryW(destination.c_str(), nullptr);

    ListingResult broken;
    const std::wstring from = WithSeparator(ExtendedFromAbsolute(trimmed));
    ListingResult listing = ListDirectory(from, [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring path = from + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsDirectoryLink(entry.dwFileAttributes)) return true;
            const ListingResult inner = CopyFolderInto(path, destination);
            if (broken.complete() && inner.started && !inner.complete()) broken = inner;
            return true;
        }
        CopyFileW(path.c_str(), (destination + L"\\" + entry.cFileName).c_str(), FALSE);
        return true;
    });
    return listing.complete() ? broken : listing;
}

}  // namespace ksr
