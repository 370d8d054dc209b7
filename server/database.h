#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/handles.h"

namespace ksr {

// A failure as the driver described it.
struct DbError {
    std::wstring sqlstate;
    std::wstring message;
    long nativeError = 0;

    // The connection itself is gone or could not be made (SQLSTATE class 08, or the
    // client's "server has gone away" codes reported under HY000).
    bool IsConnectionLevel() const;
};

// The first row's value of one column: no value for no row or NULL; `error` when the query
// itself failed.
struct DbValue {
    std::optional<std::wstring> value;
    std::optional<DbError> error;
};

struct DbRow {
    std::vector<std::optional<std::wstring>> values;
    std::optional<DbError> error;
};

using DbParams = std::span<const std::wstring_view>;

// One database connection kept for a whole run. It opens on first use and is reused by every
// statement; after a connection-level failure it is closed, and the next statement opens it
// again. Each statement commits on its own; every value travels as a bound parameter.
class DbSession {
  public:
    explicit DbSession(std::wstring connectionString, unsigned loginTimeoutSeconds = 15);
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;
    ~DbSession();

    std::optional<DbError> Open();
    bool IsOpen() const { return static_cast<bool>(dbc_); }
    void Close();

    std::optional<DbError> Execute(std::wstring_view sql, DbParams params = {});
    DbValue QueryValue(std::wstring_view sql, std::wstring_view column, DbParams params = {});
    DbRow QueryRow(std::wstring_view sql, DbParams params = {});
    [[nodiscard]] std::optional<DbError> Begin();
    [[nodiscard]] std::optional<DbError> Commit();
    void Rollback();

  private:
    std::optional<DbError> Run(std::wstring_view sql, DbParams params, SQLHSTMT& stmt);
    DbError Fail(SQLSMALLINT handleType, SQLHANDLE handle);

    std::wstring connectionString_;
    unsigned loginTimeout_;
    unique_odbc_env env_;
    unique_odbc_dbc dbc_;
    // Statements prepared once per connection, re-executed with new parameters.
    std::map<std::wstring, unique_odbc_stmt, std::less<>> statements_;
};

}  // namespace ksr
