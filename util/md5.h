#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "util/handles.h"
#include "util/result.h"

namespace ksr {

using Md5Digest = std::array<uint8_t, 16>;

// Streaming MD5 of RFC 1321, computed by the system's cryptography (CNG): Update any number of
// times, then Final, which starts the next digest afresh. One hasher serves one thread at a
// time; it may be handed to another thread between calls. Hash objects are reused across hashers.
class Md5Hasher {
  public:
    Md5Hasher();
    ~Md5Hasher();
    Md5Hasher(const Md5Hasher&) = delete;
    Md5Hasher& operator=(const Md5Hasher&) = delete;

    void Update(std::span<const uint8_t> bytes);
    // The digest of everything given since construction or the last Final, or the Win32 error
    // of the first call the system refused.
    [[nodiscard]] Result<Md5Digest> Final();

  private:
    [[nodiscard]] Status Create();

    unique_bcrypt_hash hash_;
    bool reusable_ = true;  // BCryptFinishHash resets the object for the next digest
    bool dirty_ = false;    // data went in since the last Final
    DWORD error_ = ERROR_SUCCESS;
};

}  // namespace ksr
