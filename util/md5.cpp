#include "util/md5.h"

#include <winternl.h>

#include <algorithm>
#include <mutex>
#include <vector>

#include "util/sync.h"

namespace ksr {
namespace {

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

}  // namespace ksr
