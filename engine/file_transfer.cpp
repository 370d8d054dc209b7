#include "engine/file_transfer.h"

#include <atomic>
#include <cstring>
#include <mutex>
#include <utility>

#include "util/blocking_queue.h"
#include "util/held_path.h"
#include "util/handles.h"
#include "util/hex.h"
#include "util/md5.h"
#include "util/paths.h"
#include "util/worker_pool.h"

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

std::atomic<bool> copiesAbandoned{false};
// Names the temporary files of this process apart; each run writes into a folder of its own.
std::atomic<uint64_t> partialNumber{0};

std::mutex flushFaultMutex;
std::function<DWORD(const std::wstring&)> flushFault;  // guarded by flushFaultMutex

DWORD FlushFault(const std::wstring& target) {
    const std::lock_guard lock(flushFaultMutex);
    return flushFault ? flushFault(target) : ERROR_SUCCESS;
}

// Hashes the chunks of one large file on a thread of its own while the copying thread reads
// and writes the next ones, so the digest costs no time of its own on a machine with two cores.
// Its buffers go round: the copying thread takes a free one, fills it and hands it over, and the
// hashing thread gives it back once hashed. Used by the copying thread.
class OverlappedHasher {
  public:
    static constexpr int kBuffers = 3;

    // Goes on with `hasher`, which has taken the file's first pieces already.
    explicit OverlappedHasher(Md5Hasher& hasher)
        : hasher_(hasher),
          hashing_(full_, 1, L"ksr hash", [this](Piece& piece) { HashPiece(piece); }) {
        for (auto& buffer : buffers_) {
            buffer.resize(kChunk);
            free_.Push(&buffer);
        }
    }

    // A buffer to fill; waits while every buffer is being hashed.
    std::vector<uint8_t>* Take() {
        std::vector<uint8_t>* buffer = nullptr;
        free_.Pop(buffer);
        return buffer;
    }
    void Hash(std::vector<uint8_t>* buffer, DWORD size) {
        // Without a thread of its own (none could be started), hashed here.
        if (hashing_.Threads() == 0) {
            HashPiece({buffer, size});
        } else {
            full_.Push({buffer, size});
        }
    }
    void Give(std::vector<uint8_t>* buffer) { free_.Push(buffer); }
    // Waits until every piece handed over is hashed.
    void Finish() { hashing_.Finish(); }

  private:
    struct Piece {
        std::vector<uint8_t>* buffer = nullptr;
        DWORD size = 0;
    };

    void HashPiece(const Piece& piece) {
        hasher_.Update(std::span(piece.buffer->data(), piece.size));
        free_.Push(piece.buffer);
    }

    Md5Hasher& hasher_;
    std::vector<uint8_t> buffers_[kBuffers];
    BlockingQueue<std::vector<uint8_t>*> free_;
    BlockingQueue<Piece> full_;
    WorkerPool<Piece> hashing_;  // last: ended before the rest goes
};

// Copies `in` (the file `from`) to `out` (the file `to`); fails with the first error and the
// file it concerns unless all bytes went across.
Status CopyAndHash(HANDLE in, const std::wstring& from, HANDLE out, const std::wstring& to,
                   CopyResult& result) {
    Status error;
    const auto copy = [&](uint8_t* data, DWORD& got) {
        if (copiesAbandoned) {
            error = Win32Error(ERROR_OPERATION_ABORTED, to);
            return false;
        }
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
    // A copy that is read back before its source is deleted lets nobody else write while it is
    // held; readers must share deletion, since the copy is removed through this very handle
    // should no rows name it.
    const bool readBack = purpose != CopyPurpose::Import;
    return unique_hfile(CreateFileW(path.c_str(),
                                    GENERIC_WRITE | DELETE | (readBack ? GENERIC_READ : 0),
                                    readBack ? FILE_SHARE_READ : 0, nullptr, disposition,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

// A new store file under a temporary name in `partialDir`. It is flushed, read back and given its
// own name through this handle, and removed through it should no rows name it; others may only
// read it, sharing deletion.
unique_hfile CreatePartial(const std::wstring& partialDir, std::wstring& path) {
    for (;;) {
        path = WithSeparator(partialDir) + std::to_wstring(++partialNumber) + L".part";
        unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE | GENERIC_READ | DELETE,
                                      FILE_SHARE_READ, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        if (file || GetLastError() != ERROR_FILE_EXISTS) return file;
    }
}

// Gives the file held by `file` (open with delete access) the name `target`, never replacing
// what is there (ERROR_FILE_EXISTS), then flushes again so the name is on disk before any row
// names it. Renamed through the handle that keeps it, not by path: nobody else may rename or
// delete a held store copy meanwhile, and the handle goes on naming the file it removes should
// no rows name it.
Status RenameHeld(HANDLE file, const std::wstring& target) {
    const std::wstring to = ToExtendedPath(target);
    std::vector<uint8_t> buffer(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(rename->FileName, to.c_str(), (to.size() + 1) * sizeof(wchar_t));
    if (!SetFileInformationByHandle(file, FileRenameInfo, rename,
                                    static_cast<DWORD>(buffer.size()))) {
        const DWORD error = GetLastError();
        return Win32Error(error == ERROR_ALREADY_EXISTS ? ERROR_FILE_EXISTS : error, target);
    }
    if (!FlushFileBuffers(file)) return Win32Failure(target);
    return {};
}

// Removes the file `file` is open on, whatever its name now is, and closes the handle.
bool DeleteThroughHandle(unique_hfile& file) {
    FILE_DISPOSITION_INFO dispose{TRUE};
    const bool deleted =
        SetFileInformationByHandle(file.get(), FileDispositionInfo, &dispose, sizeof dispose);
    file.reset();
    return deleted;
}

// A store file this copy created: removed again unless kept, also when an exception leaves the
// copy. Its handle is closed first, since an open file can't be deleted.
class NewStoreFile {
  public:
    NewStoreFile() = default;
    NewStoreFile(std::wstring path, unique_hfile file)
        : path_(std::move(path)), file_(std::move(file)) {}
    NewStoreFile(NewStoreFile&& other) noexcept
        : path_(std::move(other.path_)), file_(std::move(other.file_)) {
        other.path_.clear();
    }
    NewStoreFile& operator=(NewStoreFile&&) = delete;
    ~NewStoreFile() {
        if (path_.empty()) return;
        if (file_ && DeleteThroughHandle(file_)) return;
        file_.reset();
        DeleteFileW(path_.c_str());
    }

    explicit operator bool() const { return static_cast<bool>(file_); }
    [[nodiscard]] HANDLE get() const { return file_.get(); }
    unique_hfile Keep() {
        path_.clear();
        return std::move(file_);
    }

  private:
    std::wstring path_;
    unique_hfile file_;
};

// A file's length and digest, as read from its start.
struct Digest {
    uint64_t bytes = 0;
    std::wstring md5;  // lower-case hex; empty for 0 bytes
};

// Reads `file` from its start and digests it. The buffer is smaller than a copy's: several
// threads may read back at once. `path` names the file in the error, when known.
Result<Digest> DigestFromStart(HANDLE file, const std::wstring& path = {}) {
    constexpr DWORD kReadBackChunk = 64 << 10;
    LARGE_INTEGER zero{};
    if (!SetFilePointerEx(file, zero, nullptr, FILE_BEGIN)) return Win32Failure(path);
    static thread_local std::vector<uint8_t> buffer(kReadBackChunk);
    Md5Hasher hasher;
    Digest digest;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buffer.data(), kReadBackChunk, &got, nullptr)) {
            return Win32Failure(path);
        }
        if (got == 0) break;
        hasher.Update(std::span(buffer.data(), got));
        digest.bytes += got;
    }
    if (digest.bytes > 0) {
        const Result<Md5Digest> read = hasher.Final();
        if (!read) return Win32Error(read.error().win32, path);
        digest.md5 = BytesToHex(*read);
    }
    return digest;
}

// Reads `file` back and compares length and digest with what was copied.
Status ReadBack(HANDLE file, uint64_t bytes, const std::wstring& md5,
                const std::wstring& path = {}) {
    Result<Digest> read = DigestFromStart(file, path);
    if (!read) return std::move(read).error();
    if (read->bytes != bytes || read->md5 != md5) {
        return Win32Error(ERROR_DATA_CHECKSUM_ERROR, path);
    }
    return {};
}

// A source held to be deleted shares nothing but reading. One only read lets the copies of other
// names of the same file (a link to it, a hard link) hold or delete it meanwhile: the bytes read
// through this handle stay what they are.
unique_hfile OpenSource(const std::wstring& path, DWORD access) {
    const DWORD share = access & DELETE ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_DELETE;
    return unique_hfile(CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool IsNameTaken(DWORD error) {
    return error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ||
           error == ERROR_ACCESS_DENIED;
}

// Whether `existing`, opened at `finalPath`, is the plain file of that name in its folder,
// wherever the store root really lies: not a folder or link, nor a file whose short name the path
// happens to be. Fills in `info`.
bool IsPlainFileNamed(HANDLE existing, const std::wstring& finalPath,
                      BY_HANDLE_FILE_INFORMATION& info) {
    const Result<std::wstring> at = FinalPathOf(existing);
    const unique_hfile folder(CreateFileW(
        DirectoryPart(finalPath).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const Result<std::wstring> folderAt =
        folder ? FinalPathOf(folder.get()) : Result<std::wstring>(Win32Failure());
    const std::wstring expected =
        folderAt ? WithSeparator(*folderAt) + LastPathSegment(finalPath).value_or(L"")
                 : std::wstring();
    return GetFileInformationByHandle(existing, &info) && at && !expected.empty() &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           PathContains(*at, expected) && PathContains(expected, *at);
}

// Whether `other` (a file `otherBytes` long) holds exactly the bytes of `in`: their length and
// digest when it does, no value when it does not. Fails when `in` can't be read.
Result<std::optional<Digest>> SameBytes(HANDLE in, const std::wstring& source, HANDLE other,
                                        uint64_t otherBytes, const std::wstring& otherPath) {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(in, &size)) return Win32Failure(source);
    if (otherBytes != static_cast<uint64_t>(size.QuadPart)) return std::optional<Digest>();
    Result<Digest> wanted = DigestFromStart(in, source);
    if (!wanted) return std::move(wanted).error();
    if (!ReadBack(other, wanted->bytes, wanted->md5, otherPath)) return std::optional<Digest>();
    return std::optional<Digest>(std::move(wanted).value());
}

void StoreEntryDiffers(const std::wstring& target, CopyResult& result) {
    result.status = Win32Error(ERROR_FILE_EXISTS, target);
    result.refused = CopyResult::Refusal::StoreEntryDiffers;
}

// The store path `finalPath` may be taken already: false when nothing is there. What is there
// counts as the source's copy only when it is a plain file (no folder, no link) holding exactly
// the bytes of `in`; otherwise the copy is refused and the entry stays as it is.
bool TakeExistingStoreFile(HANDLE in, const std::wstring& source, const std::wstring& finalPath,
                           const std::wstring& target, bool forDeletion, CopyResult& result) {
    using Refusal = CopyResult::Refusal;
    const auto open = [&](DWORD access) {
        // Writers are kept out while it is compared and, for a deletion, until the source is
        // gone; write access is only for flushing it.
        return unique_hfile(CreateFileW(
            finalPath.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
            FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_SEQUENTIAL_SCAN,
            nullptr));
    };
    unique_hfile existing;
    if (forDeletion) existing = open(GENERIC_READ | GENERIC_WRITE);
    if (!existing) existing = open(GENERIC_READ);
    if (!existing) {
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
        result.status = Win32Error(error, target);
        result.refused = Refusal::StoreEntryNotAFile;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!IsPlainFileNamed(existing.get(), finalPath, info)) {
        result.status = Win32Error(ERROR_FILE_EXISTS, target);
        result.refused = Refusal::StoreEntryNotAFile;
        return true;
    }
    const uint64_t storedBytes =
        (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    Result<std::optional<Digest>> same = SameBytes(in, source, existing.get(), storedBytes, target);
    if (!same) {
        result.status = std::move(same).error();
        return true;
    }
    if (!*same) {
        StoreEntryDiffers(target, result);
        return true;
    }
    result.bytes = (*same)->bytes;
    result.md5 = std::move((*same)->md5);
    // Read back just now; a source goes only once the file is on disk, which needs a flush.
    if (forDeletion && FlushFileBuffers(existing.get())) result.stored = std::move(existing);
    return true;
}

// Whether the opened source may be copied: it is the listed file, or (a link) another file
// below the chosen folder.
Status CheckSourcePlace(HANDLE in, const std::wstring& source, const SourcePlace& place,
                        CopyResult& result) {
    if (place.listed.empty()) return {};
    const Result<HeldAt> at = WhereHeld(in, place.listed, place.root);
    if (!at) return Win32Error(at.error().win32, source);
    if (*at == HeldAt::Outside) {
        result.refused = CopyResult::Refusal::SourceOutside;
        return Win32Error(ERROR_ACCESS_DENIED, source);
    }
    result.link = *at == HeldAt::ElsewhereInside;
    return {};
}

// Opening: the source, held for deletion when `purpose` asks for it (else `hold` says why not),
// and its place checked. Empty, with `result` saying why, when it is not to be copied.
unique_hfile OpenForCopy(const std::wstring& source, CopyPurpose purpose, const SourcePlace& place,
                         CopyResult& result) {
    const std::wstring from = ToExtendedPath(source);
    unique_hfile in;
    if (purpose != CopyPurpose::Import) {
        // Others may go on reading; nobody may write, rename or delete it while it is held.
        in = OpenSource(from, GENERIC_READ | DELETE | FILE_WRITE_ATTRIBUTES);
        if (!in) result.hold = Win32Failure(source);
    }
    if (!in) in = OpenSource(from, GENERIC_READ);
    if (!in) {
        result.status = Win32Failure(source);
        return in;
    }
    if (Status placed = CheckSourcePlace(in.get(), source, place, result); !placed) {
        result.status = std::move(placed);
        in.reset();
    }
    return in;
}

// Copying through a temporary name: a store file already at `target` counts as the copy if it
// holds exactly the source's bytes; otherwise the bytes of `in` go into a new file of
// `partialDir`, which SettleStoreCopy later moves to `target` (whose folders are made here).
NewStoreFile CopyToPartial(HANDLE in, const std::wstring& source, const std::wstring& target,
                           CopyPurpose purpose, const std::wstring& partialDir,
                           CopyResult& result) {
    const std::wstring finalPath = ToExtendedPath(target);
    if (TakeExistingStoreFile(in, source, finalPath, target, purpose != CopyPurpose::Import,
                              result)) {
        return {};
    }
    std::wstring directory = DirectoryPart(finalPath);
    if (directory.size() > 1) directory.pop_back();
    if (Status made = CreateDirectoryLevels(directory); !made) {
        result.status = std::move(made);
        return {};
    }
    std::wstring partial;
    unique_hfile out = CreatePartial(partialDir, partial);
    if (!out) {
        result.status = Win32Failure(partial);
        return {};
    }
    NewStoreFile made(partial, std::move(out));
    result.partial = std::move(partial);
    result.status = CopyAndHash(in, source, made.get(), target, result);
    return made;
}

// Copying: the store file created new at `target` (missing directories too) with the bytes of
// `in`. Nothing is created when `result` fails before the copy, or when the name is taken: then
// the store file there counts as the copy if it holds exactly the source's bytes.
NewStoreFile CopyToStore(HANDLE in, const std::wstring& source, const std::wstring& target,
                         CopyPurpose purpose, const std::wstring& partialDir, CopyResult& result) {
    if (!partialDir.empty()) return CopyToPartial(in, source, target, purpose, partialDir, result);
    std::wstring finalPath = ToExtendedPath(target);
    unique_hfile out = CreateTarget(finalPath, CREATE_NEW, purpose);
    if (!out && GetLastError() == ERROR_PATH_NOT_FOUND) {
        std::wstring directory = DirectoryPart(finalPath);
        if (directory.size() > 1) directory.pop_back();
        if (Status made = CreateDirectoryLevels(directory); !made) {
            result.status = std::move(made);
            return {};
        }
        out = CreateTarget(finalPath, CREATE_NEW, purpose);
    }
    if (!out) {
        const DWORD error = GetLastError();
        if (IsNameTaken(error)) {
            if (!TakeExistingStoreFile(in, source, finalPath, target,
                                       purpose != CopyPurpose::Import, result)) {
                result.status = Win32Error(error, target);
            }
        } else {
            result.status = Win32Error(error, target);
        }
        return {};
    }
    NewStoreFile made(std::move(finalPath), std::move(out));
    result.status = CopyAndHash(in, source, made.get(), target, result);
    return made;
}

// Finishing: a store file this copy created stays only once the copy succeeded, and for a
// deletion after ImportThenDelete only once it reads back as copied. A copy for deletion keeps
// its source and store file open.
void FinishCopy(unique_hfile in, NewStoreFile made, CopyPurpose purpose, const std::wstring& target,
                CopyResult& result) {
    const bool forDeletion = purpose != CopyPurpose::Import;
    if (!made) {
        // Nothing created: a store file holding the source's bytes already may be the copy.
        if (result.ok() && forDeletion) result.source = std::move(in);
        return;
    }
    // A source is deleted only once its copy is on disk, not just in the cache. Rows must name
    // exactly these bytes: a store copy that can't be read back as them is no copy.
    if (result.ok() && purpose == CopyPurpose::ImportThenDelete) {
        result.status =
            SettleStoreCopy(made.get(), result.bytes, result.md5, true, result.partial, target);
        if (!result.ok()) result.status = Win32Error(result.error(), target);
        if (result.ok()) result.partial.clear();
    }
    if (!result.ok()) {
        result.bytes = 0;
        result.md5.clear();
        result.partial.clear();
        return;
    }
    result.created = true;
    unique_hfile stored = made.Keep();
    // A copy under a temporary name is flushed and moved in place before its rows go in.
    const bool settleLater = !result.partial.empty();
    if (forDeletion || settleLater) result.stored = std::move(stored);
    if (forDeletion) result.source = std::move(in);
    result.verifyPending = settleLater || purpose == CopyPurpose::ImportThenDeleteVerifyLater;
}

}  // namespace

CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target,
                          CopyPurpose purpose, const SourcePlace& place,
                          const std::wstring& partialDir) {
    CopyResult result;
    unique_hfile in = OpenForCopy(source, purpose, place, result);
    if (!in) return result;
    // A link is copied from its target, and deleting through its handle would delete that.
    if (result.link) purpose = CopyPurpose::Import;
    NewStoreFile made = CopyToStore(in.get(), source, target, purpose, partialDir, result);
    FinishCopy(std::move(in), std::move(made), purpose, target, result);
    return result;
}

CopyResult CheckFileCopy(const std::wstring& source, const std::wstring& target,
                         const SourcePlace& place, const std::wstring& sameAs) {
    CopyResult result;
    const unique_hfile in = OpenForCopy(source, CopyPurpose::Import, place, result);
    if (!in) return result;
    if (sameAs.empty()) {
        if (TakeExistingStoreFile(in.get(), source, ToExtendedPath(target), target, false,
                                  result)) {
            return result;
        }
        // A run makes the store folders first; where a level is a file it can't, and the copy
        // then meets that file on its way.
        if (const Status could = DirectoryLevelsCouldBeMade(DirectoryPart(ToExtendedPath(target)));
            !could) {
            result.status = Win32Error(could.error().win32, target);
            return result;
        }
        result.wouldCreate = true;
        return result;
    }
    // The earlier source stands for the store file its copy made; one that can't be read now
    // can't be shown to hold the same bytes.
    const unique_hfile earlier = OpenSource(ToExtendedPath(sameAs), GENERIC_READ);
    LARGE_INTEGER size{};
    if (!earlier || !GetFileSizeEx(earlier.get(), &size)) {
        StoreEntryDiffers(target, result);
        return result;
    }
    Result<std::optional<Digest>> same =
        SameBytes(in.get(), source, earlier.get(), static_cast<uint64_t>(size.QuadPart), sameAs);
    if (!same) {
        result.status = std::move(same).error();
    } else if (!*same) {
        StoreEntryDiffers(target, result);
    }
    return result;
}

Status VerifyStoreCopy(HANDLE file, uint64_t bytes, const std::wstring& md5) {
    if (!FlushFileBuffers(file)) return Win32Failure();
    return ReadBack(file, bytes, md5);
}

Status SettleStoreCopy(HANDLE file, uint64_t bytes, const std::wstring& md5, bool readBack,
                       const std::wstring& partial, const std::wstring& target) {
    if (const DWORD fault = FlushFault(target); fault != ERROR_SUCCESS) return Win32Error(fault);
    if (!FlushFileBuffers(file)) return Win32Failure();
    if (readBack) {
        if (Status same = ReadBack(file, bytes, md5); !same) return same;
    }
    if (partial.empty()) return {};
    return RenameHeld(file, target);
}

bool DiscardStoreCopy(CopyResult& copy) {
    copy.source.reset();
    // Only what this run wrote goes, and only through the handle it still holds: an existing
    // store file, or one let go of, may be named by others' rows by now.
    const bool left = copy.created && !(copy.stored && DeleteThroughHandle(copy.stored));
    copy.stored.reset();
    copy.created = false;
    copy.verifyPending = false;
    copy.partial.clear();
    copy.bytes = 0;
    copy.md5.clear();
    return !left;
}

void SetCopiesAbandoned(bool abandoned) {
    copiesAbandoned = abandoned;
}

void SetStoreFlushFaultForTest(std::function<DWORD(const std::wstring& target)> fault) {
    const std::lock_guard lock(flushFaultMutex);
    flushFault = std::move(fault);
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

ListingResult CopyFolderInto(const std::wstring& folder, const std::wstring& destinationParent,
                             const SourcePlace& place) {
    std::wstring trimmed = folder;
    while (trimmed.size() > 1 && trimmed.ends_with(L'\\')) trimmed.pop_back();
    const std::wstring name = LastPathSegment(trimmed).value_or(L"");
    std::wstring parent = ExtendedFromAbsolute(destinationParent);
    while (parent.ends_with(L'\\')) parent.pop_back();
    (void)CreateDirectoryLevels(parent);  // what can't be created shows in the copies below

    // A work list rather than recursion: a tree as deep as a path allows needs no stack for it.
    struct Folder {
        std::wstring from, to, listed;
    };
    std::vector<Folder> folders{
        {ExtendedFromAbsolute(trimmed), parent + L"\\" + name, place.listed}};
    ListingResult top, broken;
    for (bool first = true; !folders.empty(); first = false) {
        const Folder next = std::move(folders.back());
        folders.pop_back();
        // A level an earlier copy left may have become a link since: nothing goes through it.
        if (!CreateDirectoryW(next.to.c_str(), nullptr) && IsLinkEntry(next.to).value_or(true)) {
            continue;
        }
        const std::wstring from = WithSeparator(next.from);
        const ListingResult listing = ListDirectory(from, [&](const WIN32_FIND_DATAW& entry) {
            const std::wstring listed =
                next.listed.empty() ? std::wstring() : WithSeparator(next.listed) + entry.cFileName;
            const std::wstring to = next.to + L"\\" + entry.cFileName;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                if (!IsDirectoryLink(entry.dwFileAttributes)) {
                    folders.push_back({from + entry.cFileName, to, listed});
                }
                return true;
            }
            // Copied like a store file, so a link pointing outside the chosen folder is not read.
            (void)CopyFileHashed(from + entry.cFileName, to, CopyPurpose::Import,
                                 {listed, listed.empty() ? std::wstring() : place.root});
            return true;
        });
        if (first) {
            top = listing;
        } else if (broken.complete() && listing.started && !listing.complete()) {
            broken = listing;
        }
    }
    return top.complete() ? broken : top;
}

}  // namespace ksr
