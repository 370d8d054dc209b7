#include "util/md5.h"

#include <vector>

#include "util/paths.h"

namespace ksr {
namespace {

// One provider serves every hash object of the process; opening it costs far more than a
// hash object does.
BCRYPT_ALG_HANDLE Md5Provider() {
    static unique_bcrypt_alg provider = [] {
        unique_bcrypt_alg alg;
        if (BCryptOpenAlgorithmProvider(alg.put(), BCRYPT_MD5_ALGORITHM, nullptr, 0) != 0) {
            alg.reset();
        }
        return alg;
    }();
    return provider.get();
}

constexpr DWORD kChunk = 1 << 20;

}  // namespace

Md5Hasher::Md5Hasher() {
    if (BCRYPT_ALG_HANDLE alg = Md5Provider()) {
        if (BCryptCreateHash(alg, hash_.put(), nullptr, 0, nullptr, 0, 0) != 0) hash_.reset();
    }
}

void Md5Hasher::Update(std::span<const uint8_t> bytes) {
    while (!bytes.empty() && hash_) {
        const ULONG n = static_cast<ULONG>(std::min<size_t>(bytes.size(), 1u << 30));
        BCryptHashData(hash_.get(), const_cast<PUCHAR>(bytes.data()), n, 0);
        bytes = bytes.subspan(n);
    }
}

Md5Digest Md5Hasher::Final() {
    Md5Digest digest{};
    if (hash_) BCryptFinishHash(hash_.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
    hash_.reset();
    return digest;
}

Md5Digest Md5OfBytes(std::span<const uint8_t> bytes) {
    Md5Hasher hasher;
    hasher.Update(bytes);
    return hasher.Final();
}

std::wstring BytesToHex(std::span<const uint8_t> bytes) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) {
        text += kDigits[b >> 4];
        text += kDigits[b & 0xF];
    }
    return text;
}

std::optional<std::wstring> FileMd5Hex(std::wstring_view path) {
    unique_hfile file(CreateFileW(ToExtendedPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return std::nullopt;
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.get(), &size)) return std::nullopt;
    if (size.QuadPart == 0) return std::wstring();

    Md5Hasher hasher;
    if (!hasher.ok()) return std::nullopt;
    std::vector<uint8_t> buffer(kChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), kChunk, &got, nullptr)) return std::nullopt;
        if (got == 0) break;
        hasher.Update(std::span(buffer.data(), got));
    }
    return BytesToHex(hasher.Final());
}

}  // namespace ksr
