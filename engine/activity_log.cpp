#include "engine/activity_log.h"

#include <cwchar>
#include <string>

#include "util/handles.h"
#include "util/held_path.h"
#include "util/narrow.h"
#include "util/paths.h"

namespace ksr {
namespace {

std::wstring Format(const wchar_t* pattern, const SYSTEMTIME& t) {
    wchar_t text[32];
    swprintf(text, 32, pattern, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

}  // namespace

std::wstring FormatActivityLine(ActivityType type, const std::wstring& subject,
                                const std::wstring& message, const SYSTEMTIME& when) {
    return L"[127.0.0.1] [" + Format(L"%04u-%02u-%02u %02u:%02u:%02u", when) +
           L"] [UserID:1] [type:" + std::to_wstring(static_cast<int>(type)) + L"]: " + subject +
           L" " + message;
}

std::wstring ActivityLine(ActivityType type, const std::wstring& subject,
                          const std::wstring& message) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    return FormatActivityLine(type, subject, message, now);
}

std::wstring ServerLogFile(const std::wstring& storeRoot, const SYSTEMTIME& when) {
    return storeRoot + L"\\log\\" + Format(L"%04u%02u", when) + L"\\" +
           Format(L"%04u%02u%02u", when) + L".log";
}

Status serverlog(const std::vector<std::wstring>& lines, const std::wstring& storeRoot) {
    // One reading of the clock names both the month's folder and the day's file, so that a run
    // ending at midnight on a month's last day writes into one month.
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring file = ServerLogFile(storeRoot, now);
    const std::wstring dir = file.substr(0, file.rfind(L'\\'));
    // Nothing is written through a link below the store root, the day's file included.
    const std::wstring root = ToExtendedPath(storeRoot);
    if (Status plain = CheckNoLinkBelow(root, ToExtendedPath(file)); !plain) return plain;
    if (GetFileAttributesW(ToExtendedPath(dir).c_str()) == INVALID_FILE_ATTRIBUTES) {
        (void)CreateDirectoryLevels(ToExtendedPath(dir));  // a failure shows in the open below
    }

    // Append-only access puts every write at the end, and read/write sharing lets the server
    // keep its own handle on the same day's file. It is created new or opened as it is, never
    // through a link: a dangling one would otherwise be created wherever it points.
    const auto open = [&](DWORD disposition) {
        return unique_hfile(CreateFileW(
            ToExtendedPath(file).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
            nullptr, disposition, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    };
    unique_hfile log = open(CREATE_NEW);
    if (!log && GetLastError() == ERROR_FILE_EXISTS) log = open(OPEN_EXISTING);
    if (!log) return Win32Failure(file);
    // The store root itself may be a link the administrator made: the file must be where the
    // root really is.
    const unique_hfile rootFolder(
        CreateFileW(root.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    const Result<std::wstring> rootFinal =
        rootFolder ? FinalPathOf(rootFolder.get()) : Result<std::wstring>(Win32Failure(storeRoot));
    if (!rootFinal) return rootFinal.error();
    const std::wstring expected = WithSeparator(*rootFinal) + file.substr(storeRoot.size() + 1);
    const Result<HeldAt> at = WhereHeld(log.get(), expected, expected);
    if (!at) return Win32Error(at.error().win32, file);
    if (*at != HeldAt::Listed) return Win32Error(ERROR_REPARSE_POINT_ENCOUNTERED, file);
    std::string bytes;
    for (const std::wstring& line : lines) {
        bytes += Narrow(line, CP_ACP);
        bytes += "\r\n";
    }
    if (bytes.empty()) return {};
    DWORD written = 0;
    if (!WriteFile(log.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        return Win32Failure(file);
    }
    if (written != bytes.size()) return Win32Error(ERROR_WRITE_FAULT, file);
    return {};
}

}  // namespace ksr
