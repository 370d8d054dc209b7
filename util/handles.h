#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <objbase.h>
#include <sql.h>
#include <sqlext.h>

#include <utility>

namespace ksr {

// Owns one OS handle. The empty value is part of the type (Traits::Empty, and Traits::IsValid
// where more than one value means "none"), so a default-constructed holder is always safe to
// destroy or reset, and a failed open tests false whichever empty value the call returned.
template <typename Traits>
class unique_any {
  public:
    using T = typename Traits::Type;

    unique_any() = default;
    explicit unique_any(T value) : value_(value) {}
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;
    unique_any(unique_any&& other) noexcept
        : value_(std::exchange(other.value_, Traits::Empty())) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(std::exchange(other.value_, Traits::Empty()));
        return *this;
    }
    ~unique_any() { reset(); }

    [[nodiscard]] T get() const { return value_; }
    explicit operator bool() const { return IsValid(value_); }
    T release() { return std::exchange(value_, Traits::Empty()); }
    void reset(T value = Traits::Empty()) {
        T old = std::exchange(value_, value);
        if (IsValid(old)) Traits::Close(old);
    }
    // For out-parameters: frees the current value and hands back its address.
    T* put() {
        reset();
        return &value_;
    }

  private:
    static bool IsValid(T value) {
        if constexpr (requires { Traits::IsValid(value); }) {
            return Traits::IsValid(value);
        } else {
            return value != Traits::Empty();
        }
    }

    T value_ = Traits::Empty();
};

namespace detail {
template <typename H, auto CloseFn>
struct NullTraits {
    using Type = H;
    static H Empty() { return H{}; }
    static void Close(H h) { CloseFn(h); }
};
// Kernel handles of files and searches: the open calls return INVALID_HANDLE_VALUE on failure,
// but a null handle names nothing either.
template <auto CloseFn>
struct InvalidTraits {
    using Type = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
    static bool IsValid(HANDLE h) { return h != INVALID_HANDLE_VALUE && h != nullptr; }
    static void Close(HANDLE h) { CloseFn(h); }
};
inline void CloseKey(HKEY key) {
    ::RegCloseKey(key);
}
inline void CloseFind(HANDLE h) {
    ::FindClose(h);
}
inline void CloseAny(HANDLE h) {
    ::CloseHandle(h);
}
inline void DeleteFont(HFONT font) {
    ::DeleteObject(font);
}
inline void FreeCoTaskMem(wchar_t* text) {
    ::CoTaskMemFree(text);
}
inline void FreeEnv(SQLHENV h) {
    ::SQLFreeHandle(SQL_HANDLE_ENV, h);
}
inline void FreeDbc(SQLHDBC h) {
    ::SQLFreeHandle(SQL_HANDLE_DBC, h);
}
inline void Disconnect(SQLHDBC h) {
    ::SQLDisconnect(h);
}
inline void FreeStmt(SQLHSTMT h) {
    ::SQLFreeHandle(SQL_HANDLE_STMT, h);
}
inline void FreeLocal(wchar_t* text) {
    ::LocalFree(text);
}
inline void CloseAlgorithm(BCRYPT_ALG_HANDLE h) {
    ::BCryptCloseAlgorithmProvider(h, 0);
}
inline void DestroyHash(BCRYPT_HASH_HANDLE h) {
    ::BCryptDestroyHash(h);
}
}  // namespace detail

using unique_hkey = unique_any<detail::NullTraits<HKEY, detail::CloseKey>>;
using unique_hfind = unique_any<detail::InvalidTraits<detail::CloseFind>>;
using unique_handle = unique_any<detail::NullTraits<HANDLE, detail::CloseAny>>;
using unique_hfile = unique_any<detail::InvalidTraits<detail::CloseAny>>;
using unique_hfont = unique_any<detail::NullTraits<HFONT, detail::DeleteFont>>;
// Text the system allocated with CoTaskMemAlloc (SHGetKnownFolderPath, GetDisplayName).
using unique_cotaskmem_string = unique_any<detail::NullTraits<wchar_t*, detail::FreeCoTaskMem>>;
using unique_odbc_env = unique_any<detail::NullTraits<SQLHENV, detail::FreeEnv>>;
// A connection handle, freed; whether it is connected is the business of unique_odbc_connection.
using unique_odbc_dbc = unique_any<detail::NullTraits<SQLHDBC, detail::FreeDbc>>;
// Holds the connection of a dbc that SQLDriverConnectW connected, and disconnects it; set only
// once the connect succeeded, and reset before the dbc itself is freed.
using unique_odbc_connection = unique_any<detail::NullTraits<SQLHDBC, detail::Disconnect>>;
using unique_odbc_stmt = unique_any<detail::NullTraits<SQLHSTMT, detail::FreeStmt>>;
using unique_bcrypt_algorithm =
    unique_any<detail::NullTraits<BCRYPT_ALG_HANDLE, detail::CloseAlgorithm>>;
using unique_bcrypt_hash = unique_any<detail::NullTraits<BCRYPT_HASH_HANDLE, detail::DestroyHash>>;

// Runs a callable when the scope ends, on every path out of it, unless released first.
template <typename F>
class [[nodiscard]] scope_exit_guard {
  public:
    explicit scope_exit_guard(F fn) : fn_(std::move(fn)) {}
    scope_exit_guard(const scope_exit_guard&) = delete;
    scope_exit_guard& operator=(const scope_exit_guard&) = delete;
    ~scope_exit_guard() {
        if (armed_) fn_();
    }
    void release() { armed_ = false; }

  private:
    F fn_;
    bool armed_ = true;
};

template <typename F>
[[nodiscard]] scope_exit_guard<F> scope_exit(F fn) {
    return scope_exit_guard<F>(std::move(fn));
}

// The open cursor of a prepared statement, closed (SQL_CLOSE) when the scope ends so the
// statement can run again however its reading ended. A statement freed meanwhile, with the
// connection that was lost (its holder then empty), is left alone.
class [[nodiscard]] odbc_cursor {
  public:
    odbc_cursor(SQLHSTMT stmt, const unique_odbc_dbc& connection)
        : stmt_(stmt), connection_(connection) {}
    odbc_cursor(const odbc_cursor&) = delete;
    odbc_cursor& operator=(const odbc_cursor&) = delete;
    ~odbc_cursor() {
        if (stmt_ != SQL_NULL_HSTMT && connection_) ::SQLFreeStmt(stmt_, SQL_CLOSE);
    }

  private:
    SQLHSTMT stmt_;
    const unique_odbc_dbc& connection_;
};

// A device context of a window, from GetDC, given back with ReleaseDC.
class [[nodiscard]] unique_window_dc {
  public:
    explicit unique_window_dc(HWND window) : window_(window), dc_(::GetDC(window)) {}
    unique_window_dc(const unique_window_dc&) = delete;
    unique_window_dc& operator=(const unique_window_dc&) = delete;
    ~unique_window_dc() {
        if (dc_) ::ReleaseDC(window_, dc_);
    }
    [[nodiscard]] HDC get() const { return dc_; }
    explicit operator bool() const { return dc_ != nullptr; }

  private:
    HWND window_;
    HDC dc_;
};

// An object selected into a device context, the one it replaced selected back when the scope
// ends.
class [[nodiscard]] selected_object {
  public:
    selected_object(HDC dc, HGDIOBJ object) : dc_(dc), old_(::SelectObject(dc, object)) {}
    selected_object(const selected_object&) = delete;
    selected_object& operator=(const selected_object&) = delete;
    ~selected_object() {
        if (old_ && old_ != HGDI_ERROR) ::SelectObject(dc_, old_);
    }

  private:
    HDC dc_;
    HGDIOBJ old_;
};

// Memory the system allocated with LocalAlloc for the caller (FormatMessageW's buffer).
using unique_hlocal_string = unique_any<detail::NullTraits<wchar_t*, detail::FreeLocal>>;

// One CoInitializeEx on this thread, undone by CoUninitialize when it succeeded (S_OK or
// S_FALSE); a call refused for another apartment model is not undone.
class [[nodiscard]] unique_com_init {
  public:
    explicit unique_com_init(DWORD model) : result_(::CoInitializeEx(nullptr, model)) {}
    unique_com_init(const unique_com_init&) = delete;
    unique_com_init& operator=(const unique_com_init&) = delete;
    ~unique_com_init() {
        if (SUCCEEDED(result_)) ::CoUninitialize();
    }
    [[nodiscard]] HRESULT result() const { return result_; }

  private:
    HRESULT result_;
};

}  // namespace ksr
