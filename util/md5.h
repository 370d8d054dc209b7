#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ksr {

using Md5Digest = std::array<uint8_t, 16>;

// Streaming MD5 of RFC 1321 (init on construction, Update any number of times, Final once).
class Md5Hasher {
  public:
    Md5Hasher() = default;
    Md5Hasher(const Md5Hasher&) = delete;
    Md5Hasher& operator=(const Md5Hasher&) = delete;

    void Update(std::span<const uint8_t> bytes);
    Md5Digest Final();

  private:
    void Blocks(const uint8_t* data, size_t count);

    std::array<uint32_t, 4> state_{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
    uint64_t length_ = 0;  // bytes so far
    std::array<uint8_t, 64> pending_{};
    size_t pendingSize_ = 0;
};

Md5Digest Md5OfBytes(std::span<const uint8_t> bytes);

// Two upper-case hex digits per byte, in order.
std::wstring BytesToHex(std::span<const uint8_t> bytes);

// The file's digest as 32 upper-case hex digits, empty text for a zero-length file, no value
// when the file can't be opened or read. Reads in pieces; any length works.
std::optional<std::wstring> FileMd5Hex(std::wstring_view path);

}  // namespace ksr
