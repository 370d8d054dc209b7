#pragma once

#include <windows.h>
#include <sql.h>
#include <sqlext.h>

#include <utility>

namespace ksr {

// Owns one OS handle. The empty value is part of the type (Traits::Empty), so a
// default-constructed holder is always safe to destroy or reset.
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
    explicit operator bool() const { return value_ != Traits::Empty(); }
    T release() { return std::exchange(value_, Traits::Empty()); }
    void reset(T value = Traits::Empty()) {
        T old = std::exchange(value_, value);
        if (old != Traits::Empty()) Traits::Close(old);
    }
    // For out-parameters: frees the current value and hands back its address.
    T* put() {
        reset();
        return &value_;
    }

  private:
    T value_ = Traits::Empty();
};

namespace detail {
template <typename H, void (*CloseFn)(H)>
struct NullTraits {
    using Type = H;
    static H Empty() { return H{}; }
    static void Close(H h) { CloseFn(h); }
};
template <void (*CloseFn)(HANDLE)>
struct InvalidTraits {
    using Type = HANDLE;
    static HANDLE Empty() { return INVALID_HANDLE_VALUE; }
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
inline void FreeEnv(SQLHENV h) {
    ::SQLFreeHandle(SQL_HANDLE_ENV, h);
}
inline void FreeDbc(SQLHDBC h) {
    ::SQLDisconnect(h);
    ::SQLFreeHandle(SQL_HANDLE_DBC, h);
}
inline void FreeStmt(SQLHSTMT h) {
    ::SQLFreeHandle(SQL_HANDLE_STMT, h);
}
}  // namespace detail

using unique_hkey = unique_any<detail::NullTraits<HKEY, detail::CloseKey>>;
using unique_hfind = unique_any<detail::InvalidTraits<detail::CloseFind>>;
using unique_handle = unique_any<detail::NullTraits<HANDLE, detail::CloseAny>>;
using unique_hfile = unique_any<detail::InvalidTraits<detail::CloseAny>>;
using unique_hfont = unique_any<detail::NullTraits<HFONT, detail::DeleteFont>>;
using unique_odbc_env = unique_any<detail::NullTraits<SQLHENV, detail::FreeEnv>>;
using unique_odbc_dbc = unique_any<detail::NullTraits<SQLHDBC, detail::FreeDbc>>;
using unique_odbc_stmt = unique_any<detail::NullTraits<SQLHSTMT, detail::FreeStmt>>;

}  // namespace ksr
