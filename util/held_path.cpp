#include "util/held_path.h"

#include <winternl.h>

#include <cstdint>
#include <vector>

#include "util/paths.h"

namespace ksr {

std::wstring WithoutExtendedPrefix(std::wstring_view path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\" + std::wstring(path.substr(7));
    if (path.starts_with(L"\\\\?\\")) return std::wstring(path.substr(4));
    return std::wstring(path);
}

Result<std::wstring> FinalPathOf(HANDLE handle) {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD size =
            GetFinalPathNameByHandleW(handle, path.data(), static_cast<DWORD>(path.size()),
                                      FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (size == 0) break;
        if (size < path.size()) {
            path.resize(size);
            return WithoutExtendedPrefix(path);
        }
        path.resize(size);  // the size needed, terminator included
    }
    const DWORD error = GetLastError();
    // Wine refuses final paths longer than MAX_PATH whatever the buffer, but its object names
    // are the DOS paths themselves ("\??\X:\..."); Windows names a device there instead.
    if (error != ERROR_MORE_DATA) return Win32Error(error);
    std::vector<uint8_t> buffer(sizeof(UNICODE_STRING) + 65536 * sizeof(wchar_t));
    ULONG got = 0;
    if (!NT_SUCCESS(NtQueryObject(handle, static_cast<OBJECT_INFORMATION_CLASS>(1), buffer.data(),
                                  static_cast<ULONG>(buffer.size()), &got))) {
        return Win32Error(error);
    }
    const auto* name = reinterpret_cast<const UNICODE_STRING*>(buffer.data());
    const std::wstring_view nt(name->Buffer, name->Length / sizeof(wchar_t));
    if (!nt.starts_with(L"\\??\\")) return Win32Error(error);
    return std::wstring(nt.substr(4));
}

Result<HeldAt> WhereHeld(HANDLE handle, std::wstring_view listed, std::wstring_view root) {
    Result<std::wstring> final = FinalPathOf(handle);
    if (!final) return std::move(final).error();
    if (PathContains(listed, *final) && PathContains(*final, listed)) return HeldAt::Listed;
    return PathContains(root, *final) ? HeldAt::ElsewhereInside : HeldAt::Outside;
}

}  // namespace ksr
