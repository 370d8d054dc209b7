#include "util/paths.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "util/handles.h"

namespace ksr {
namespace {

// GetFullPathNameW into a buffer that grows to fit; no value when it fails.
std::optional<std::wstring> FullPathName(const std::wstring& path) {
    std::vector<wchar_t> buffer(path.size() + MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetFullPathNameW(path.c_str(), static_cast<DWORD>(buffer.size()),
                                         buffer.data(), nullptr);
        if (n == 0) return std::nullopt;
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(n + 1);
    }
}

wchar_t AsciiUpper(wchar_t c) {
    return c >= L'a' && c <= L'z' ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

bool EqualsAsciiIgnoreCase(std::wstring_view text, std::wstring_view upper) {
    if (text.size() != upper.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (AsciiUpper(text[i]) != upper[i]) return false;
    }
    return true;
}

// Windows takes the superscript digits ¹ ² ³ as device numbers too.
bool IsDeviceDigit(wchar_t c) {
    return (c >= L'1' && c <= L'9') || c == L'\u00B9' || c == L'\u00B2' || c == L'\u00B3';
}

// The device test path parsing applies to a last segment: the part before the first "." (or
// ":"), blanks at its end left out, names a DOS device.
bool IsDosDeviceName(std::wstring_view name) {
    std::wstring_view base = name.substr(0, name.find_first_of(L".:"));
    while (!base.empty() && base.back() == L' ') base.remove_suffix(1);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (EqualsAsciiIgnoreCase(base, device)) return true;
    }
    return base.size() == 4 && IsDeviceDigit(base[3]) &&
           (EqualsAsciiIgnoreCase(base.substr(0, 3), L"COM") ||
            EqualsAsciiIgnoreCase(base.substr(0, 3), L"LPT"));
}

std::wstring_view WithoutTrailingSeparators(std::wstring_view path) {
    while (!path.empty() && path.back() == L'\\') path.remove_suffix(1);
    return path;
}

// `path` without a "\\?\" prefix and without a trailing "\" (a drive root keeps its own).
std::wstring PlainFolderPath(std::wstring path) {
    if (path.starts_with(L"\\\\?\\UNC\\")) {
        path = L"\\" + path.substr(7);
    } else if (path.starts_with(L"\\\\?\\")) {
        path = path.substr(4);
    }
    while (path.size() > 3 && path.ends_with(L'\\')) path.pop_back();
    if (path.size() == 2 && path[1] == L':') path += L'\\';
    return path;
}

unique_hfile OpenForQuery(const std::wstring& extended) {
    return unique_hfile(CreateFileW(extended.c_str(), 0,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool directory = false;
    bool operator==(const FileIdentity&) const = default;
};

std::optional<FileIdentity> IdentityOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info)) return std::nullopt;
    return FileIdentity{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow,
                        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
}

std::optional<std::wstring> FinalPathName(HANDLE file) {
    std::vector<wchar_t> buffer(MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetFinalPathNameByHandleW(
            file, buffer.data(), static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
        if (n == 0) return std::nullopt;
        if (n < buffer.size()) return std::wstring(buffer.data(), n);
        buffer.resize(n + 1);
    }
}

// The final path of the existing folder `extended`, links and substituted drives resolved.
std::optional<std::wstring> FinalFolderPath(const std::wstring& extended) {
    const unique_hfile folder = OpenForQuery(extended);
    if (!folder) return std::nullopt;
    const std::optional<FileIdentity> identity = IdentityOf(folder.get());
    if (!identity || !identity->directory) return std::nullopt;
    std::optional<std::wstring> final = FinalPathName(folder.get());
    if (!final) return std::nullopt;
    // Some file systems (Wine's among them) report a name ending in "." without its dots,
    // which names another folder: the final path counts only when it opens this one.
    const unique_hfile check = OpenForQuery(*final);
    if (!check || IdentityOf(check.get()) != identity) return std::nullopt;
    return final;
}

// Where the volume part of `path` ends: the index of the "\" after "\\?\X:" or after
// "\\?\UNC\server\share" (the size of `path` when there is none).
size_t VolumeEnd(std::wstring_view path) {
    size_t start = 0;
    int segments = 1;
    if (path.starts_with(L"\\\\?\\UNC\\")) {
        start = 8;
        segments = 2;
    } else if (path.starts_with(L"\\\\?\\") || path.starts_with(L"\\\\.\\")) {
        start = 4;
    } else if (path.starts_with(L"\\\\")) {
        start = 2;
        segments = 2;
    }
    size_t end = start;
    for (int i = 0; i < segments; ++i) {
        end = path.find(L'\\', i == 0 ? start : end + 1);
        if (end == std::wstring_view::npos) return path.size();
    }
    return end;
}

bool IsDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// Creates one level; a directory already there counts as made. ERROR_PATH_NOT_FOUND tells
// that the parent is missing.
Status CreateOneLevel(const std::wstring& path) {
    if (CreateDirectoryW(path.c_str(), nullptr)) return {};
    const DWORD error = GetLastError();
    if (error != ERROR_PATH_NOT_FOUND && IsDirectory(path)) return {};
    return Win32Error(error, path);
}

}  // namespace

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

std::wstring DirectoryPart(std::wstring_view path) {
    const size_t last = path.rfind(L'\\');
    if (last == std::wstring_view::npos) return {};
    return std::wstring(path.substr(0, last + 1));
}

std::optional<std::wstring> LastPathSegment(std::wstring_view path) {
    if (path.empty()) return std::nullopt;
    const size_t last = path.rfind(L'\\');
    return TrimBlanks(last == std::wstring_view::npos ? path : path.substr(last + 1));
}

std::wstring TrimBlanks(std::wstring_view text) {
    const size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return {};
    const size_t last = text.find_last_not_of(L' ');
    return std::wstring(text.substr(first, last - first + 1));
}

std::wstring ReplaceAll(std::wstring_view text, wchar_t from, wchar_t to) {
    std::wstring out(text);
    for (wchar_t& c : out) {
        if (c == from) c = to;
    }
    return out;
}

std::wstring ToExtendedPath(std::wstring_view path) {
    if (path.starts_with(L"\\\\?\\")) return std::wstring(path);
    // GetFullPathNameW is not limited to MAX_PATH; it also folds "/" into "\" and resolves
    // "." and "..", which the "\\?\" form would otherwise take literally.
    std::optional<std::wstring> full = FullPathName(std::wstring(path));
    if (!full) return std::wstring(path);
    return ExtendedFromAbsolute(*full);
}

std::wstring ExtendedFromAbsolute(std::wstring_view absolute) {
    if (absolute.starts_with(L"\\\\?\\") || absolute.starts_with(L"\\\\.\\")) {
        return std::wstring(absolute);
    }
    if (absolute.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + std::wstring(absolute.substr(2));
    return L"\\\\?\\" + std::wstring(absolute);
}

bool IsAlteredByPathParsing(std::wstring_view name) {
    if (name.empty() || name == L"." || name == L"..") return false;
    if (name.back() == L'.' || name.back() == L' ') return true;
    return IsDosDeviceName(name);
}

bool IsAbsoluteLocalPath(std::wstring_view path) {
    const bool driveLetter = path.size() >= 3 && AsciiUpper(path[0]) >= L'A' &&
                             AsciiUpper(path[0]) <= L'Z' && path[1] == L':' && path[2] == L'\\';
    if (!driveLetter || path.find(L'/') != std::wstring_view::npos) return false;
    std::wstring_view rest = path.substr(3);
    if (rest.empty()) return true;
    if (rest.back() == L'\\') rest.remove_suffix(1);
    for (;;) {
        const size_t cut = rest.find(L'\\');
        const std::wstring_view segment = rest.substr(0, cut);
        if (segment.empty() || segment == L"." || segment == L"..") return false;
        if (cut == std::wstring_view::npos) return true;
        rest.remove_prefix(cut + 1);
    }
}

std::optional<std::wstring> ResolveFolder(std::wstring_view path) {
    if (path.empty()) return std::nullopt;
    // A "\\?\" path is taken as it is: parsing it (Wine does) would trim its names.
    const std::optional<std::wstring> full =
        path.starts_with(L"\\\\?\\") ? std::wstring(path) : FullPathName(std::wstring(path));
    // A device such as "NUL" is no folder.
    if (!full || full->starts_with(L"\\\\.\\")) return std::nullopt;
    const std::wstring absolute = PlainFolderPath(*full);
    const std::optional<std::wstring> final = FinalFolderPath(ExtendedFromAbsolute(absolute));
    return final ? PlainFolderPath(*final) : absolute;
}

bool PathContains(std::wstring_view outer, std::wstring_view inner) {
    outer = WithoutTrailingSeparators(outer);
    inner = WithoutTrailingSeparators(inner);
    if (outer.empty() || inner.size() < outer.size()) return false;
    if (!EqualsIgnoreCase(outer, inner.substr(0, outer.size()))) return false;
    return inner.size() == outer.size() || inner[outer.size()] == L'\\';
}

Status CreateDirectoryLevels(const std::wstring& extendedPath) {
    const size_t volumeEnd = VolumeEnd(extendedPath);
    std::wstring path = extendedPath;
    while (path.size() > volumeEnd + 1 && path.ends_with(L'\\')) path.pop_back();
    if (path.size() <= volumeEnd + 1) {
        if (IsDirectory(WithSeparator(path))) return {};
        return Win32Error(ERROR_PATH_NOT_FOUND, path);
    }
    // Up from the deepest level to the first one that exists or can be made...
    size_t end = path.size();
    for (;;) {
        Status made = CreateOneLevel(path.substr(0, end));
        if (made) break;
        const size_t cut = path.rfind(L'\\', end - 1);
        if (made.error().win32 != ERROR_PATH_NOT_FOUND || cut == std::wstring::npos ||
            cut <= volumeEnd) {
            return made;
        }
        end = cut;
    }
    // ...then down again through the missing ones.
    while (end < path.size()) {
        end = std::min(path.find(L'\\', end + 1), path.size());
        if (Status made = CreateOneLevel(path.substr(0, end)); !made) return made;
    }
    return {};
}

Status DirectoryLevelsCouldBeMade(const std::wstring& extendedPath) {
    const size_t volumeEnd = VolumeEnd(extendedPath);
    std::wstring path = extendedPath;
    while (path.size() > volumeEnd + 1 && path.ends_with(L'\\')) path.pop_back();
    for (;;) {
        const DWORD attributes = GetFileAttributesW(path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            if (attributes & FILE_ATTRIBUTE_DIRECTORY) return {};
            return Win32Error(ERROR_ALREADY_EXISTS, path);
        }
        const size_t cut = path.rfind(L'\\');
        if (cut == std::wstring::npos || cut <= volumeEnd) return {};
        path.resize(cut);
    }
}

}  // namespace ksr
