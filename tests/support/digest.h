#pragma once

#include <string>

#include "util/hex.h"
#include "util/md5.h"

namespace ksr::test {

// A content's digest as the MD5File row holds it: lower-case hex, empty for no bytes.
inline std::wstring Md5Lower(const std::string& bytes) {
    if (bytes.empty()) return L"";
    return BytesToHex(
        Md5OfBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))
            .value());
}

}  // namespace ksr::test
