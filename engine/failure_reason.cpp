#include "engine/failure_reason.h"

#include "engine/log_texts.h"
#include "util/handles.h"
#include "util/held_path.h"

namespace ksr {

std::wstring Win32Reason(DWORD error) {
    unique_hlocal_string text;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<wchar_t*>(text.put()), 0, nullptr);
    std::wstring words = n > 0 && text ? std::wstring(text.get(), n) : std::wstring();
    while (!words.empty() && (words.back() == L'\n' || words.back() == L'\r' ||
                              words.back() == L' ' || words.back() == L'.')) {
        words.pop_back();
    }
    if (words.empty()) words = L"Windows error";
    return words + L" (错误 " + std::to_wstring(error) + L")";
}

std::wstring ErrorReason(const Error& error) {
    if (error.internal) return reason::kUnexpected + error.message;
    if (error.IsDatabase()) return DatabaseReason(error);
    return Win32Reason(error.win32);
}

std::wstring LinkInTheWay(const Error& error) {
    if (error.win32 != ERROR_REPARSE_POINT_ENCOUNTERED) return ErrorReason(error);
    return reason::kLinkInTheWay + WithoutExtendedPrefix(error.path);
}

std::wstring DatabaseReason(const Error& error) {
    std::wstring text = L"SQLSTATE " + error.sqlstate;
    if (error.nativeError != 0) text += L" (" + std::to_wstring(error.nativeError) + L")";
    if (!error.message.empty()) text += L": " + error.message;
    return text;
}

}  // namespace ksr
