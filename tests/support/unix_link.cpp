#include "support/unix_link.h"

#include <windows.h>

#include "util/handles.h"
#include "util/paths.h"

namespace ksr::test {
namespace {

bool Listed(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    return static_cast<bool>(unique_hfind(FindFirstFileW(ToExtendedPath(path).c_str(), &entry)));
}

}  // namespace

std::wstring UnixName(const std::wstring& path) {
    using ToUnix = char*(__cdecl*)(LPCWSTR);
    const auto toUnix = reinterpret_cast<ToUnix>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* unix = toUnix ? toUnix(path.c_str()) : nullptr;
    if (!unix) return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, unix, -1, nullptr, 0);
    std::wstring wide(n > 0 ? n - 1 : 0, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, unix, -1, wide.data(), n);
    HeapFree(GetProcessHeap(), 0, unix);
    return wide;
}

namespace {

// The Unix path of `path` with its last part as it is, not resolved should it be a link.
std::wstring UnixNameOfEntry(const std::wstring& path) {
    const std::wstring folder = UnixName(DirectoryPart(path));
    const std::optional<std::wstring> name = LastPathSegment(path);
    if (folder.empty() || !name) return {};
    return folder + (folder.ends_with(L'/') ? L"" : L"/") + *name;
}

}  // namespace

bool StartUnix(std::wstring commandLine) {
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    const unique_handle thread(process.hThread), program(process.hProcess);
    return true;
}

bool RunUnixUntil(std::wstring command, const std::wstring& appears) {
    if (!StartUnix(std::move(command))) return false;
    for (int i = 0; i < 250; ++i) {
        if (Listed(appears)) return true;
        Sleep(20);
    }
    return false;
}

bool RemoveUnixLink(const std::wstring& link) {
    const std::wstring unix = UnixNameOfEntry(link);
    if (unix.empty() || !StartUnix(L"Z:\\bin\\rm -f \"" + unix + L"\"")) return false;
    for (int i = 0; i < 250; ++i) {
        if (!Listed(link)) return true;
        Sleep(20);
    }
    return false;
}

bool MakeUnixLink(const std::wstring& target, const std::wstring& link, bool hard) {
    const bool relative = target.size() < 2 || target[1] != L':';
    const std::wstring from = relative ? ReplaceAll(target, L'\\', L'/') : UnixName(target);
    const std::wstring to = UnixNameOfEntry(link);
    if (from.empty() || to.empty()) return false;
    return RunUnixUntil(L"Z:\\bin\\ln " + std::wstring(hard ? L"" : L"-sfn ") + L"\"" + from +
                            L"\" \"" + to + L"\"",
                        link);
}

}  // namespace ksr::test
