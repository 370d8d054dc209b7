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

    // The connection itself is gone or could not be made (SQLSTATE class 08, the client's
    // "server has gone away" codes reported under HY000, or a timeout: a server that stopped
    // answering leaves the connection in an unknown state).
    bool IsConnectionLevel() const;
    // The statement ran, but a bound value was stored cut short or converted (MySQL warnings
    // 1265, 1366, 1406; SQLSTATE 22001 or 01004).
    bool IsTruncation() const;
};

// The first row's value of one column: no value for no row or NULL; `error` when the query
// itself failed.
struct DbValue {
    std::optional<std::wstring> value;
    std::optional<DbError> error;
};

// The first row's values in column order (NULL as no value); empty for no row.
struct DbRow {
    std::vector<std::optional<std::wstring>> values;
    std::optional<DbError> error;
};

using DbParams = std::span<const std::wstring_view>;

// One database connection kept for a whole run. It opens on first use and is reused by every
// statement; after a connection-level failure it is closed, and the next statement opens it
// again. Each statement commits on its own unless Begin() started a transaction; every value
// travels as a bound parameter. A statement that gets no answer within the statement timeout
// fails as a connection-level error.
class DbSession {
  public:
    explicit DbSession(std::wstring connectionString, unsigned loginTimeoutSeconds = 15,
                       unsigned statementTimeoutSeconds = 30);
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;
    ~DbSession();

    std::optional<DbError> Open();
    bool IsOpen() const { return static_cast<bool>(dbc_); }
    void Close();

    // Fails with IsTruncation() when the server stored a bound value altered.
    std::optional<DbError> Execute(std::wstring_view sql, DbParams params = {});
    DbValue QueryValue(std::wstring_view sql, std::wstring_view column, DbParams params = {});
    DbRow QueryRow(std::wstring_view sql, DbParams params = {});

    // The statements up to Commit() or Rollback() form one transaction. If the connection is
    // lost inside it, every statement fails until Commit() (which then fails too) or
    // Rollback() ends it; the next one reopens the session in autocommit mode.
    [[nodiscard]] std::optional<DbError> Begin();
    [[nodiscard]] std::optional<DbError> Commit();
    void Rollback();  // best effort; safe without a transaction or a connection
    bool InTransaction() const { return inTransaction_; }

  private:
    std::optional<DbError> Run(std::wstring_view sql, DbParams params, SQLHSTMT& stmt);
    // The first row of a query: every column, or only `column` (by name) when it is given.
    DbRow FirstRow(std::wstring_view sql, DbParams params, std::wstring_view column);
    std::optional<DbError> TruncationWarning();
    std::optional<DbError> SetAutocommit(bool on);
    DbError Fail(SQLSMALLINT handleType, SQLHANDLE handle);

    std::wstring connectionString_;
    unsigned loginTimeout_;
    unsigned statementTimeout_;
    unique_odbc_env env_;
    unique_odbc_dbc dbc_;
    // Disconnects dbc_ before it is freed; set only while it is connected.
    unique_odbc_connection connection_;
    // MySQL and MariaDB report altered values only as warnings, read after the statement.
    bool serverWarns_ = false;
    // The connection's autocommit is off: inside a transaction, and after one until the next
    // statement outside a transaction.
    bool manualCommit_ = false;
    bool inTransaction_ = false;
    bool transactionLost_ = false;
    // Statements prepared once per connection, re-executed with new parameters.
    std::map<std::wstring, unique_odbc_stmt, std::less<>> statements_;
};

}  // namespace ksr
