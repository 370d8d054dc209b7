#include "util/held_path.h"

#include <winternl.h>

#include <cstdint>
#include <vector>

#include "util/handles.h"
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

Result<bool> IsLinkEntry(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    const unique_hfind find(
        FindFirstFileExW(path.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr, 0));
    if (!find) return Win32Failure(path);
    return (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

Status CheckNoLinkBelow(const std::wstring& root, const std::wstring& path) {
    size_t at = root.size();
    while (at < path.size() && path[at] == L'\\') ++at;
    while (at < path.size()) {
        size_t end = path.find(L'\\', at);
        if (end == std::wstring::npos) end = path.size();
        const std::wstring level = path.substr(0, end);
        // A level that can't be listed holds nothing to write through; the write itself then
        // fails and says why.
        const Result<bool> link = IsLinkEntry(level);
        if (!link) return {};
        if (*link) return Win32Error(ERROR_REPARSE_POINT_ENCOUNTERED, level);
        at = end + 1;
    }
    return {};
}

Result<HeldAt> WhereHeld(HANDLE handle, std::wstring_view listed, std::wstring_view root) {
    Result<std::wstring> final = FinalPathOf(handle);
    if (!final) return std::move(final).error();
    if (PathContains(listed, *final) && PathContains(*final, listed)) return HeldAt::Listed;
    return PathContains(root, *final) ? HeldAt::ElsewhereInside : HeldAt::Outside;
}

}  // namespace ksr
