#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

namespace ksr {

// Why an operation failed: a Win32 error code, what the database driver said (SQLSTATE, the
// server's own code and the driver's message), or a failure of the program itself; with the file,
// folder or object it concerns.
struct Error {
    DWORD win32 = ERROR_SUCCESS;  // the system's error; ERROR_SUCCESS for a database failure
    std::wstring sqlstate;        // five characters; empty for a system failure
    std::wstring message;         // the driver's text, or what an internal failure said
    long nativeError = 0;         // the server's own code
    std::wstring path;            // what the failure concerns, when known
    // Neither the system nor the database failed but the program (see UnexpectedFailure).
    bool internal = false;

    [[nodiscard]] bool IsDatabase() const { return !sqlstate.empty(); }
    // A database failure where the connection itself is gone or could not be made (SQLSTATE
    // class 08, the client's "server has gone away" codes reported under HY000, or a timeout: a
    // server that stopped answering leaves the connection in an unknown state).
    [[nodiscard]] bool IsConnectionLevel() const;
    // A database failure where the statement ran, but a bound value was stored cut short or
    // converted (MySQL warnings 1265, 1366, 1406; SQLSTATE 22001 or 01004; SQL Server 8152,
    // 2628).
    [[nodiscard]] bool IsTruncation() const;
    // A database failure where a bound value could not be compared with a column whose
    // character set can't hold it (MySQL's "Illegal mix of collations", 1267, 1270, 1271): no
    // row of that column holds the value.
    [[nodiscard]] bool IsUnstorableValue() const;
};

// A failure with this Win32 error code.
inline Error Win32Error(DWORD code, std::wstring path = {}) {
    Error error;
    error.win32 = code;
    error.path = std::move(path);
    return error;
}

// A failure with GetLastError()'s code; call it right after the call that failed.
inline Error Win32Failure(std::wstring path = {}) {
    return Win32Error(GetLastError(), std::move(path));
}

// A failure of the program itself: an exception where none was expected. Call it in the catch
// block; `message` takes the exception's text, when it has one. Its win32 is ERROR_INTERNAL_ERROR,
// the system's own code for that, for whoever words the code alone.
Error UnexpectedFailure(std::wstring path = {}) noexcept;

// A failure as a database driver reported it.
inline Error DatabaseError(std::wstring sqlstate, std::wstring message, long nativeError = 0) {
    Error error;
    error.sqlstate = std::move(sqlstate);
    error.message = std::move(message);
    error.nativeError = nativeError;
    return error;
}

// Either the value of an operation that succeeded or why it failed.
template <class T>
class [[nodiscard]] Result {
    static_assert(!std::is_same_v<std::decay_t<T>, Error>, "a Result can't hold an Error value");

  public:
    template <class U = T, std::enable_if_t<std::is_constructible_v<T, U&&> &&
                                                !std::is_same_v<std::decay_t<U>, Error> &&
                                                !std::is_same_v<std::decay_t<U>, Result>,
                                            int> = 0>
    Result(U&& value) : state_(std::in_place_index<0>, std::forward<U>(value)) {}
    Result(Error error) : state_(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return state_.index() == 0; }
    explicit operator bool() const { return ok(); }

    // Only on success.
    [[nodiscard]] T& value() & { return std::get<0>(state_); }
    [[nodiscard]] const T& value() const& { return std::get<0>(state_); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(state_)); }
    T& operator*() & { return value(); }
    const T& operator*() const& { return value(); }
    T* operator->() { return &value(); }
    const T* operator->() const { return &value(); }
    template <class U>
    [[nodiscard]] T value_or(U&& fallback) const& {
        return ok() ? value() : static_cast<T>(std::forward<U>(fallback));
    }

    // Only on failure.
    [[nodiscard]] const Error& error() const& { return std::get<1>(state_); }
    Error&& error() && { return std::get<1>(std::move(state_)); }

  private:
    std::variant<T, Error> state_;
};

// Success with nothing to return, or why it failed.
template <>
class [[nodiscard]] Result<void> {
  public:
    Result() = default;
    Result(Error error) : error_(std::move(error)) {}

    [[nodiscard]] bool ok() const { return !error_; }
    explicit operator bool() const { return ok(); }

    // Only on failure.
    [[nodiscard]] const Error& error() const& { return *error_; }
    Error&& error() && { return std::move(*error_); }

  private:
    std::optional<Error> error_;
};

using Status = Result<void>;

// The Win32 code of a result: ERROR_SUCCESS when it succeeded, else its error's code.
template <class T>
DWORD Win32CodeOf(const Result<T>& result) {
    return result.ok() ? static_cast<DWORD>(ERROR_SUCCESS) : result.error().win32;
}

}  // namespace ksr
