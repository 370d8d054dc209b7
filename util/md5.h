#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "util/handles.h"

namespace ksr {

using Md5Digest = std::array<uint8_t, 16>;

// Streaming MD5 (init on construction, Update any number of times, Final once).
class Md5Hasher {
  public:
    Md5Hasher();
    Md5Hasher(const Md5Hasher&) = delete;
    Md5Hasher& operator=(const Md5Hasher&) = delete;

    bool ok() const { return static_cast<bool>(hash_); }
    void Update(std::span<const uint8_t> bytes);
    Md5Digest Final();

  private:
    unique_bcrypt_hash hash_;
};

Md5Digest Md5OfBytes(std::span<const uint8_t> bytes);

// Two upper-case hex digits per byte, in order.
std::wstring BytesToHex(std::span<const uint8_t> bytes);

// The file's digest as 32 upper-case hex digits, empty text for a zero-length file, no value
// when the file can't be opened or read. Reads in pieces; any length works.
std::optional<std::wstring> FileMd5Hex(std::wstring_view path);

}  // namespace ksr
