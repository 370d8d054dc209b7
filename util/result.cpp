#include "util/result.h"

#include <exception>
#include <string_view>

namespace ksr {
namespace {

// A SQLSTATE the driver attaches to a statement that stored a value cut short.
bool IsTruncationState(std::wstring_view state) {
    return state == L"01004" || state == L"22001";
}

// The text of the exception being handled, if it has one.
std::wstring CurrentExceptionText() {
    const std::exception_ptr current = std::current_exception();
    if (!current) return {};
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& exception) {
        const char* const text = exception.what();
        const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (n <= 1) return {};
        std::wstring wide(static_cast<size_t>(n - 1), L'\0');
        MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), n);
        return wide;
    } catch (...) {
    }
    return {};
}

}  // namespace

Error UnexpectedFailure(std::wstring path) noexcept {
    Error error;
    error.win32 = ERROR_INTERNAL_ERROR;
    error.path = std::move(path);
    error.internal = true;
    // Out of memory, the failure is still told, only without its text.
    try {
        error.message = CurrentExceptionText();
    } catch (...) {
    }
    return error;
}

bool Error::IsConnectionLevel() const {
    if (!IsDatabase()) return false;
    if (sqlstate.starts_with(L"08")) return true;
    // Timeout expired: the server did not answer in time.
    if (sqlstate == L"HYT00" || sqlstate == L"HYT01") return true;
    // MySQL client: 2002 and 2003 can't connect (socket, TCP), 2005 unknown host, 2006 server
    // has gone away, 2013 lost connection during query, 2055 lost connection at a system call.
    return nativeError == 2002 || nativeError == 2003 || nativeError == 2005 ||
           nativeError == 2006 || nativeError == 2013 || nativeError == 2055;
}

bool Error::IsUnstorableValue() const {
    return IsDatabase() && (nativeError == 1267 || nativeError == 1270 || nativeError == 1271);
}

bool Error::IsTruncation() const {
    if (!IsDatabase()) return false;
    // MySQL: 1265 data truncated, 1366 incorrect value, 1406 data too long; SQL Server: 8152 and
    // 2628 "String or binary data would be truncated".
    return IsTruncationState(sqlstate) || nativeError == 1265 || nativeError == 1366 ||
           nativeError == 1406 || nativeError == 8152 || nativeError == 2628;
}

}  // namespace ksr
