#pragma once

#include <windows.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/handles.h"
#include "util/hex.h"
#include "util/md5.h"
#include "util/paths.h"
#include "util/result.h"

namespace ksr::test {

inline Result<Md5Digest> Md5OfBytes(std::span<const uint8_t> bytes) {
    Md5Hasher hasher;
    hasher.Update(bytes);
    return hasher.Final();
}

// A content's digest as the MD5File row holds it: lower-case hex, empty for no bytes.
inline std::wstring Md5Lower(const std::string& bytes) {
    if (bytes.empty()) return L"";
    return BytesToHex(
        Md5OfBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))
            .value());
}

// A file's digest as 32 lower-case hex digits, empty for a zero-length file, the Win32 error
// (with the path) when the file can't be opened or read. Reads in pieces; any length works.
inline Result<std::wstring> FileMd5Hex(std::wstring_view path) {
    constexpr DWORD kChunk = 1 << 20;
    unique_hfile file(CreateFileW(ToExtendedPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file) return Win32Failure(std::wstring(path));
    Md5Hasher hasher;
    std::vector<uint8_t> buffer(kChunk);
    bool any = false;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file.get(), buffer.data(), kChunk, &got, nullptr)) {
            return Win32Failure(std::wstring(path));
        }
        if (got == 0) break;
        any = true;
        hasher.Update(std::span(buffer.data(), got));
    }
    if (!any) return std::wstring();
    Result<Md5Digest> digest = hasher.Final();
    if (!digest) return Win32Error(digest.error().win32, std::wstring(path));
    return BytesToHex(*digest);
}

}  // namespace ksr::test
