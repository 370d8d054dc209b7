#include "util/paths.h"

#include <windows.h>

#include <vector>

namespace ksr {

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
    std::wstring input(path);
    std::vector<wchar_t> buffer(input.size() + MAX_PATH + 1);
    for (;;) {
        const DWORD n = GetFullPathNameW(input.c_str(), static_cast<DWORD>(buffer.size()),
                                         buffer.data(), nullptr);
        if (n == 0) return input;
        if (n < buffer.size()) break;
        buffer.resize(n + 1);
    }
    std::wstring full(buffer.data());
    if (full.starts_with(L"\\\\.\\")) return full;
    if (full.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + full.substr(2);
    return L"\\\\?\\" + full;
}

void EnsureDirectoryPath(std::wstring_view path) {
    const std::wstring s = WithSeparator(std::wstring(path));
    for (size_t q = s.find(L'\\'); q != std::wstring::npos; q = s.find(L'\\', q + 1)) {
        // A drive root, a UNC server or share, or an existing level fails quietly; the
        // deeper levels are still tried.
        CreateDirectoryW(ToExtendedPath(s.substr(0, q + 1)).c_str(), nullptr);
    }
}

}  // namespace ksr
