#pragma once

#include <cwctype>
#include <string>

#include "util/md5.h"

namespace ksr::test {

// A content's digest as the MD5File row holds it: lower-case hex, empty for no bytes.
inline std::wstring Md5Lower(const std::string& bytes) {
    if (bytes.empty()) return L"";
    std::wstring hex = BytesToHex(
        Md5OfBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
    for (wchar_t& c : hex) c = static_cast<wchar_t>(std::towlower(c));
    return hex;
}

}  // namespace ksr::test
