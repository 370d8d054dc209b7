#include "engine/file_transfer.h"

#include <cwctype>

#include "util/handles.h"
#include "util/md5.h"
#include "util/paths.h"

namespace ksr {
namespace {

constexpr DWORD kChunk = 1 << 20;

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

bool IsDirectoryLink(DWORD attributes) {
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

std::wstring ToLower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

std::wstring WithSeparator(const std::wstring& dir) {
    return dir.ends_with(L'\\') ? dir : dir + L'\\';
}

// Replaces `target` by `temp`; a read-only target is made writable first.
DWORD ReplaceTarget(const std::wstring& temp, const std::wstring& target) {
    if (MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
    DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED && SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL) &&
        MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return 0;
    }
    return error;
}

}  // namespace

void CreateDirectoryChain(const std::wstring& path) {
    EnsureDirectoryPath(ReplaceAll(path, L'/', L'\\'));
}

CopyResult CopyFileHashed(const std::wstring& source, const std::wstring& target) {
    CopyResult result;
    unique_hfile in(CreateFileW(ToExtendedPath(source).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!in) {
        result.error = GetLastError();
        return result;
    }
    const std::wstring finalPath = ToExtendedPath(target);
    const std::wstring tempPath = finalPath + L".ksrimport-part";
    unique_hfile out(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!out && GetLastError() == ERROR_PATH_NOT_FOUND) {
        CreateDirectoryChain(DirectoryPart(ReplaceAll(target, L'/', L'\\')));
        out.reset(CreateFileW(tempPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    }
    if (!out) {
        result.error = GetLastError();
        return result;
    }

    Md5Hasher hasher;
    static thread_local std::vector<uint8_t> buffer(kChunk);
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(in.get(), buffer.data(), kChunk, &got, nullptr)) {
            result.error = GetLastError();
            break;
        }
        if (got == 0) break;
        hasher.Update(std::span(buffer.data(), got));
        DWORD put = 0;
        if (!WriteFile(out.get(), buffer.data(), got, &put, nullptr) || put != got) {
            result.error = put != got && GetLastError() == 0 ? ERROR_WRITE_FAULT : GetLastError();
            break;
        }
        result.bytes += got;
    }
    if (result.ok() && !hasher.ok()) result.error = ERROR_INVALID_FUNCTION;
    out.reset();
    if (result.ok()) result.error = ReplaceTarget(tempPath, finalPath);
    if (!result.ok()) {
        DeleteFileW(tempPath.c_str());
        result.bytes = 0;
        return result;
    }
    if (result.bytes > 0) result.md5 = ToLower(BytesToHex(hasher.Final()));
    return result;
}

void CopyFolderInto(const std::wstring& folder, const std::wstring& destinationParent) {
    std::wstring trimmed = folder;
    while (trimmed.size() > 1 && trimmed.ends_with(L'\\')) trimmed.pop_back();
    const std::wstring name = LastPathSegment(trimmed).value_or(L"");
    CreateDirectoryChain(destinationParent);
    const std::wstring destination = WithSeparator(destinationParent) + name;
    CreateDirectoryW(ToExtendedPath(destination).c_str(), nullptr);

    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileExW(ToExtendedPath(WithSeparator(trimmed) + L"*").c_str(),
                                       FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!find) return;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        const std::wstring from = WithSeparator(trimmed) + entry.cFileName;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!IsDirectoryLink(entry.dwFileAttributes)) CopyFolderInto(from, destination);
            continue;
        }
        CopyFileW(ToExtendedPath(from).c_str(),
                  ToExtendedPath(WithSeparator(destination) + entry.cFileName).c_str(), FALSE);
    } while (FindNextFileW(find.get(), &entry));
}

std::optional<uint64_t> FolderSize(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileExW(ToExtendedPath(WithSeparator(folder) + L"*").c_str(),
                                       FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        if (GetLastError() == ERROR_FILE_NOT_FOUND) return 0;
        return std::nullopt;
    }
    uint64_t total = 0;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (IsDirectoryLink(entry.dwFileAttributes)) continue;
            total += FolderSize(WithSeparator(folder) + entry.cFileName).value_or(0);
        } else {
            total += (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
        }
    } while (FindNextFileW(find.get(), &entry));
    return total;
}

bool DeleteSourceFile(const std::wstring& path) {
    const std::wstring extended = ToExtendedPath(path);
    if (DeleteFileW(extended.c_str())) return true;
    if (GetLastError() != ERROR_ACCESS_DENIED) return false;
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY)) {
        return false;
    }
    SetFileAttributesW(extended.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(extended.c_str());
}

}  // namespace ksr
