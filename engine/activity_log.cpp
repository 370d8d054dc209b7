#include "engine/activity_log.h"

#include <cwchar>
#include <string>

#include "util/handles.h"
#include "util/paths.h"

namespace ksr {
namespace {

std::wstring Format(const wchar_t* pattern, const SYSTEMTIME& t) {
    wchar_t text[32];
    swprintf(text, 32, pattern, t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
    return text;
}

std::string ToAnsi(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
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

Status serverlog(const std::vector<std::wstring>& lines, const std::wstring& storeRoot) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    const std::wstring dir = storeRoot + L"\\log\\" + Format(L"%04u%02u", now);
    if (GetFileAttributesW(ToExtendedPath(dir).c_str()) == INVALID_FILE_ATTRIBUTES) {
        (void)CreateDirectoryLevels(ToExtendedPath(dir));  // a failure shows in the open below
    }
    GetLocalTime(&now);
    const std::wstring file = dir + L"\\" + Format(L"%04u%02u%02u", now) + L".log";

    // Append-only access puts every write at the end, and read/write sharing lets the server
    // keep its own handle on the same day's file.
    unique_hfile log(CreateFileW(ToExtendedPath(file).c_str(), FILE_APPEND_DATA,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!log) return Win32Failure(file);
    std::string bytes;
    for (const std::wstring& line : lines) {
        bytes += ToAnsi(line);
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
