#include "util/md5.h"

#include <winternl.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "util/hex.h"
#include "util/paths.h"
#include "util/sync.h"

namespace ksr {
namespace {

constexpr DWORD kChunk = 1 << 20;

DWORD Win32CodeOfStatus(NTSTATUS status) {
    const ULONG code = RtlNtStatusToDosError(status);
    return code == ERROR_SUCCESS ? static_cast<DWORD>(ERROR_INVALID_FUNCTION) : code;
}

struct Md5Provider {
    unique_bcrypt_algorithm algorithm;
    NTSTATUS status = 0;
};

// Opened once for the whole process on first use; an algorithm handle may serve every thread.
const Md5Provider& Provider() {
    static const Md5Provider provider = [] {
        Md5Provider opened;
        opened.status =
            BCryptOpenAlgorithmProvider(opened.algorithm.put(), BCRYPT_MD5_ALGORITHM, nullptr, 0);
        if (!BCRYPT_SUCCESS(opened.status)) opened.algorithm.release();
        return opened;
    }();
    return provider;
}

// Hash objects that finished hashers left behind, for the next hashers to take: a digest per
// small file then costs no object of its own. Kept process-wide rather than per thread, so that
// no object has to be destroyed while a thread exits.
class SparePool {
  public:
    unique_bcrypt_hash Take() {
        std::lock_guard lock(mutex_);
        if (spares_.empty()) return {};
        unique_bcrypt_hash hash = std::move(spares_.back());
        spares_.pop_back();
        return hash;
    }
    void Give(unique_bcrypt_hash hash) {
        std::lock_guard lock(mutex_);
        if (spares_.size() < kKept) spares_.push_back(std::move(hash));
    }

  private:
    static constexpr size_t kKept = 16;  // more than the threads that hash at once
    SrwMutex mutex_;
    std::vector<unique_bcrypt_hash> spares_;
};

SparePool& Spares() {
    // The provider is opened first, so that it is closed after the objects made from it.
    (void)Provider();
    static SparePool pool;
    return pool;
}

}  // namespace

Md5Hasher::Md5Hasher() {
    hash_ = Spares().Take();
    if (hash_) return;
    if (const Status created = Create(); !created) error_ = created.error().win32;
}

Md5Hasher::~Md5Hasher() {
    // Only a clean reusable object is kept; an unfinished one would carry its data over.
    if (hash_ && reusable_ && !dirty_) Spares().Give(std::move(hash_));
}

Status Md5Hasher::Create() {
    const Md5Provider& provider = Provider();
    if (!provider.algorithm) return Win32Error(Win32CodeOfStatus(provider.status));
    NTSTATUS status = BCryptCreateHash(provider.algorithm.get(), hash_.put(), nullptr, 0, nullptr,
                                       0, reusable_ ? BCRYPT_HASH_REUSABLE_FLAG : 0);
    if (!BCRYPT_SUCCESS(status) && reusable_) {
        // Systems before Windows 8 know no reusable objects: one object per digest instead.
        reusable_ = false;
        status = BCryptCreateHash(provider.algorithm.get(), hash_.put(), nullptr, 0, nullptr, 0, 0);
    }
    if (!BCRYPT_SUCCESS(status)) {
        hash_.release();
        return Win32Error(Win32CodeOfStatus(status));
    }
    return {};
}

void Md5Hasher::Update(std::span<const uint8_t> bytes) {
    dirty_ = true;
    while (error_ == ERROR_SUCCESS && !bytes.empty()) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(bytes.size(), 1u << 30));
        const NTSTATUS status =
            BCryptHashData(hash_.get(), const_cast<PUCHAR>(bytes.data()), piece, 0);
        if (!BCRYPT_SUCCESS(status)) error_ = Win32CodeOfStatus(status);
        bytes = bytes.subspan(piece);
    }
}

Result<Md5Digest> Md5Hasher::Final() {
    dirty_ = false;
    Md5Digest digest{};
    if (error_ == ERROR_SUCCESS) {
        const NTSTATUS status =
            BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
        if (!BCRYPT_SUCCESS(status)) error_ = Win32CodeOfStatus(status);
    }
    const DWORD error = std::exchange(error_, ERROR_SUCCESS);
    // A finished object that is not reusable (or that failed) is replaced for the next digest.
    if (!reusable_ || error != ERROR_SUCCESS) {
        if (const Status created = Create(); !created) error_ = created.error().win32;
    }
    if (error != ERROR_SUCCESS) return Win32Error(error);
    return digest;
}

Result<Md5Digest> Md5OfBytes(std::span<const uint8_t> bytes) {
    Md5Hasher hasher;
    hasher.Update(bytes);
    return hasher.Final();
}

Result<std::wstring> FileMd5Hex(std::wstring_view path) {
    const std::wstring extended = ToExtendedPath(path);
    unique_hfile file(CreateFileW(extended.c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return Win32Failure(std::wstring(path));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return Win32Failure(std::wstring(path));
    if (size.QuadPart == 0) return std::wstring();

    Md5Hasher hasher;
    std::vector<uint8_t> buffer(kChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), kChunk, &got, nullptr)) {
            return Win32Failure(std::wstring(path));
        }
        if (got == 0) break;
        hasher.Update(std::span(buffer.data(), got));
    }
    Result<Md5Digest> digest = hasher.Final();
    if (!digest) {
        Error error = std::move(digest).error();
        error.path = path;
        return error;
    }
    return BytesToHex(*digest);
}

}  // namespace ksr
