#include "util/md5.h"

#include <bit>
#include <cstring>
#include <vector>

#include "util/handles.h"
#include "util/paths.h"

namespace ksr {
namespace {

constexpr DWORD kChunk = 1 << 20;

uint32_t LoadLittleEndian(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint32_t F(uint32_t x, uint32_t y, uint32_t z) {
    return z ^ (x & (y ^ z));
}
// (x & z) | (y & ~z), with "+" for "|" as the two terms never share a bit: only one operation
// then waits for x, the previous step's result, and large files digest about a tenth faster.
inline uint32_t G(uint32_t x, uint32_t y, uint32_t z) {
    return (x & z) + (y & ~z);
}
inline uint32_t H(uint32_t x, uint32_t y, uint32_t z) {
    return x ^ y ^ z;
}
inline uint32_t I(uint32_t x, uint32_t y, uint32_t z) {
    return y ^ (x | ~z);
}

template <uint32_t (*Round)(uint32_t, uint32_t, uint32_t)>
inline void Step(uint32_t& a, uint32_t b, uint32_t c, uint32_t d, uint32_t x, uint32_t t, int s) {
    a = b + std::rotl(a + x + t + Round(b, c, d), s);
}

}  // namespace

// The arithmetic of RFC 1321, computed here rather than by a system hash object: one object per
// file costs more than small files take to digest, and this loop is no slower on large ones.
void Md5Hasher::Blocks(const uint8_t* data, size_t count) {
    uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
    for (; count > 0; --count, data += 64) {
        uint32_t x[16];
        for (int i = 0; i < 16; ++i) x[i] = LoadLittleEndian(data + 4 * i);
        const uint32_t a0 = a, b0 = b, c0 = c, d0 = d;
        Step<F>(a, b, c, d, x[0], 0xd76aa478, 7);
        Step<F>(d, a, b, c, x[1], 0xe8c7b756, 12);
        Step<F>(c, d, a, b, x[2], 0x242070db, 17);
        Step<F>(b, c, d, a, x[3], 0xc1bdceee, 22);
        Step<F>(a, b, c, d, x[4], 0xf57c0faf, 7);
        Step<F>(d, a, b, c, x[5], 0x4787c62a, 12);
        Step<F>(c, d, a, b, x[6], 0xa8304613, 17);
        Step<F>(b, c, d, a, x[7], 0xfd469501, 22);
        Step<F>(a, b, c, d, x[8], 0x698098d8, 7);
        Step<F>(d, a, b, c, x[9], 0x8b44f7af, 12);
        Step<F>(c, d, a, b, x[10], 0xffff5bb1, 17);
        Step<F>(b, c, d, a, x[11], 0x895cd7be, 22);
        Step<F>(a, b, c, d, x[12], 0x6b901122, 7);
        Step<F>(d, a, b, c, x[13], 0xfd987193, 12);
        Step<F>(c, d, a, b, x[14], 0xa679438e, 17);
        Step<F>(b, c, d, a, x[15], 0x49b40821, 22);
        Step<G>(a, b, c, d, x[1], 0xf61e2562, 5);
        Step<G>(d, a, b, c, x[6], 0xc040b340, 9);
        Step<G>(c, d, a, b, x[11], 0x265e5a51, 14);
        Step<G>(b, c, d, a, x[0], 0xe9b6c7aa, 20);
        Step<G>(a, b, c, d, x[5], 0xd62f105d, 5);
        Step<G>(d, a, b, c, x[10], 0x02441453, 9);
        Step<G>(c, d, a, b, x[15], 0xd8a1e681, 14);
        Step<G>(b, c, d, a, x[4], 0xe7d3fbc8, 20);
        Step<G>(a, b, c, d, x[9], 0x21e1cde6, 5);
        Step<G>(d, a, b, c, x[14], 0xc33707d6, 9);
        Step<G>(c, d, a, b, x[3], 0xf4d50d87, 14);
        Step<G>(b, c, d, a, x[8], 0x455a14ed, 20);
        Step<G>(a, b, c, d, x[13], 0xa9e3e905, 5);
        Step<G>(d, a, b, c, x[2], 0xfcefa3f8, 9);
        Step<G>(c, d, a, b, x[7], 0x676f02d9, 14);
        Step<G>(b, c, d, a, x[12], 0x8d2a4c8a, 20);
        Step<H>(a, b, c, d, x[5], 0xfffa3942, 4);
        Step<H>(d, a, b, c, x[8], 0x8771f681, 11);
        Step<H>(c, d, a, b, x[11], 0x6d9d6122, 16);
        Step<H>(b, c, d, a, x[14], 0xfde5380c, 23);
        Step<H>(a, b, c, d, x[1], 0xa4beea44, 4);
        Step<H>(d, a, b, c, x[4], 0x4bdecfa9, 11);
        Step<H>(c, d, a, b, x[7], 0xf6bb4b60, 16);
        Step<H>(b, c, d, a, x[10], 0xbebfbc70, 23);
        Step<H>(a, b, c, d, x[13], 0x289b7ec6, 4);
        Step<H>(d, a, b, c, x[0], 0xeaa127fa, 11);
        Step<H>(c, d, a, b, x[3], 0xd4ef3085, 16);
        Step<H>(b, c, d, a, x[6], 0x04881d05, 23);
        Step<H>(a, b, c, d, x[9], 0xd9d4d039, 4);
        Step<H>(d, a, b, c, x[12], 0xe6db99e5, 11);
        Step<H>(c, d, a, b, x[15], 0x1fa27cf8, 16);
        Step<H>(b, c, d, a, x[2], 0xc4ac5665, 23);
        Step<I>(a, b, c, d, x[0], 0xf4292244, 6);
        Step<I>(d, a, b, c, x[7], 0x432aff97, 10);
        Step<I>(c, d, a, b, x[14], 0xab9423a7, 15);
        Step<I>(b, c, d, a, x[5], 0xfc93a039, 21);
        Step<I>(a, b, c, d, x[12], 0x655b59c3, 6);
        Step<I>(d, a, b, c, x[3], 0x8f0ccc92, 10);
        Step<I>(c, d, a, b, x[10], 0xffeff47d, 15);
        Step<I>(b, c, d, a, x[1], 0x85845dd1, 21);
        Step<I>(a, b, c, d, x[8], 0x6fa87e4f, 6);
        Step<I>(d, a, b, c, x[15], 0xfe2ce6e0, 10);
        Step<I>(c, d, a, b, x[6], 0xa3014314, 15);
        Step<I>(b, c, d, a, x[13], 0x4e0811a1, 21);
        Step<I>(a, b, c, d, x[4], 0xf7537e82, 6);
        Step<I>(d, a, b, c, x[11], 0xbd3af235, 10);
        Step<I>(c, d, a, b, x[2], 0x2ad7d2bb, 15);
        Step<I>(b, c, d, a, x[9], 0xeb86d391, 21);
        a += a0;
        b += b0;
        c += c0;
        d += d0;
    }
    state_ = {a, b, c, d};
}

void Md5Hasher::Update(std::span<const uint8_t> bytes) {
    length_ += bytes.size();
    if (pendingSize_ > 0) {
        const size_t take = std::min(bytes.size(), pending_.size() - pendingSize_);
        std::memcpy(pending_.data() + pendingSize_, bytes.data(), take);
        pendingSize_ += take;
        bytes = bytes.subspan(take);
        if (pendingSize_ < pending_.size()) return;
        Blocks(pending_.data(), 1);
        pendingSize_ = 0;
    }
    const size_t whole = bytes.size() / 64;
    Blocks(bytes.data(), whole);
    bytes = bytes.subspan(whole * 64);
    std::memcpy(pending_.data(), bytes.data(), bytes.size());
    pendingSize_ = bytes.size();
}

Md5Digest Md5Hasher::Final() {
    // 0x80, zeros up to 8 bytes short of a block, then the length in bits.
    const uint64_t bits = length_ * 8;
    uint8_t tail[72] = {0x80};
    const size_t zeros = (pendingSize_ < 56 ? 56 : 120) - pendingSize_;
    for (int i = 0; i < 8; ++i) tail[zeros + i] = static_cast<uint8_t>(bits >> (8 * i));
    Update(std::span(tail, zeros + 8));

    Md5Digest digest{};
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<uint8_t>(state_[i] >> (8 * j));
    }
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
