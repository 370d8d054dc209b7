#pragma once

#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "util/handles.h"
#include "util/result.h"
#include "util/sync.h"

namespace ksr {

// The first row's values in column order (NULL as no value); empty for no row.
using DbRow = std::vector<std::optional<std::wstring>>;

using DbParams = std::span<const std::wstring_view>;

// One database connection kept for a whole run. It opens on first use and is reused by every
// statement; after a connection-level failure it is closed, and the next statement opens it
// again. Each statement commits on its own unless Begin() started a transaction; every value
// travels as a bound parameter. A statement that gets no answer within the statement timeout
// fails as a connection-level error. One thread at a time calls it: the one that owns it.
class DbSession {
  public:
    explicit DbSession(std::wstring connectionString, unsigned loginTimeoutSeconds = 15,
                       unsigned statementTimeoutSeconds = 30);
    DbSession(const DbSession&) = delete;
    DbSession& operator=(const DbSession&) = delete;
    ~DbSession();

    [[nodiscard]] Status Open();
    [[nodiscard]] bool IsOpen() const { return static_cast<bool>(dbc_); }
    void Close();

    // Whether the server is MySQL or MariaDB (else SQL Server), once a connection opened.
    [[nodiscard]] bool IsMySql() const { return mysql_; }
    [[nodiscard]] unsigned StatementTimeout() const { return statementTimeout_; }
    // The server's id of the open connection (decimal digits); empty when closed or unknown.
    [[nodiscard]] const std::wstring& SessionId() const { return sessionId_; }
    // The server's id of the connection lost last to a connection-level failure; empty when
    // none was lost or its id was unknown. The server may still be running that session.
    [[nodiscard]] const std::wstring& LostSessionId() const { return lostSessionId_; }
    // What tells that session from a later one the server gives the same id.
    [[nodiscard]] const std::wstring& LostSessionTag() const { return lostSessionTag_; }
    // The statement that reads the connection's own id and tag in either dialect.
    [[nodiscard]] static const wchar_t* SessionIdStatement(bool mysql);

    // Fails with IsTruncation() when the server stored a bound value altered.
    [[nodiscard]] Status Execute(std::wstring_view sql, DbParams params = {});
    // The first row's value of one column: no value for no row or NULL.
    [[nodiscard]] Result<std::optional<std::wstring>> QueryValue(std::wstring_view sql,
                                                                 std::wstring_view column,
                                                                 DbParams params = {});
    [[nodiscard]] Result<DbRow> QueryRow(std::wstring_view sql, DbParams params = {});
    // Every row, each with every column. For a select only: a result that can't be fetched in
    // blocks is had by running the statement again.
    [[nodiscard]] Result<std::vector<DbRow>> QueryRows(std::wstring_view sql, DbParams params = {});
    // As QueryValue, read under READ COMMITTED whatever the connection's own level: rows of
    // another session's open transaction are not seen even by a server whose default reads
    // uncommitted rows. The connection is closed after, so that the next statement has the
    // server's own level again. Not inside a transaction.
    [[nodiscard]] Result<std::optional<std::wstring>> QueryCommittedValue(std::wstring_view sql,
                                                                          std::wstring_view column,
                                                                          DbParams params = {});

    // The statements up to Commit() or Rollback() form one transaction. If the connection is
    // lost inside it, every statement fails until Commit() (which then fails too) or
    // Rollback() ends it; the next one reopens the session in autocommit mode.
    [[nodiscard]] Status Begin();
    [[nodiscard]] Status Commit();
    void Rollback();  // best effort; safe without a transaction or a connection
    [[nodiscard]] bool InTransaction() const { return inTransaction_; }

    // How long the statement executing now has waited for its answer; 0 when none is. Called
    // from any thread.
    [[nodiscard]] ULONGLONG RunningMs();
    // Cancels the statement executing now, once, if there is one: it fails at once and the
    // connection stays usable. Returns within the login and statement timeouts even when the
    // server hangs. Called from one thread at a time while another runs the statement; a commit
    // in progress is not cancelled.
    void CancelRunning();

  private:
    // The statement, prepared on the open connection the first time it is asked for.
    [[nodiscard]] Result<SQLHSTMT> Prepared(std::wstring_view sql);
    // Prepares (once) and executes the statement; its handle, open on the result.
    [[nodiscard]] Result<SQLHSTMT> Run(std::wstring_view sql, DbParams params);
    // Every row of the open result, fetched many rows a call; no value when they can't be had
    // that way, and the result is then closed.
    [[nodiscard]] Result<std::optional<std::vector<DbRow>>> FetchBound(SQLHSTMT stmt,
                                                                       SQLSMALLINT columns);
    // The statement's first result that has columns: a batch's inserts come before its select.
    [[nodiscard]] Result<SQLSMALLINT> ResultColumns(SQLHSTMT stmt);
    // The first row of a query: every column, or only `column` (by name) when it is given.
    [[nodiscard]] Result<DbRow> FirstRow(std::wstring_view sql, DbParams params,
                                         std::wstring_view column);
    // Fails with the first warning of a value stored altered.
    [[nodiscard]] Status TruncationWarning();
    [[nodiscard]] Status SetAutocommit(bool on);
    // The handle's diagnostics; a connection-level failure closes the session.
    Error Fail(SQLSMALLINT handleType, SQLHANDLE handle);
    // Closes a connection that failed, remembering its id as the lost one.
    void Lose();
    [[nodiscard]] Status SetIsolation(SQLULEN level);

    std::wstring connectionString_;
    unsigned loginTimeout_;
    unsigned statementTimeout_;
    unique_odbc_env env_;
    unique_odbc_dbc dbc_;
    // Disconnects dbc_ before it is freed; set only while it is connected.
    unique_odbc_connection connection_;
    // MySQL or MariaDB: they report altered values only as warnings, read after the statement.
    bool mysql_ = false;
    std::wstring sessionId_;
    std::wstring lostSessionId_;
    std::wstring sessionTag_;
    std::wstring lostSessionTag_;
    // The connection's autocommit is off: inside a transaction, and after one until the next
    // statement outside a transaction.
    bool manualCommit_ = false;
    bool inTransaction_ = false;
    bool transactionLost_ = false;
    // The statement executing now, since when, on which session, and whether it was cancelled
    // already; guarded by runningMutex_, which a cancel holds until the server took it, so that
    // it reaches neither a handle being freed nor the statement after.
    SrwMutex runningMutex_;
    SQLHSTMT running_ = SQL_NULL_HSTMT;
    ULONGLONG runningSince_ = 0;
    std::wstring runningSession_;
    bool runningCancelled_ = false;
    // MySQL's cancel: KILL QUERY sent on a connection of its own, which CancelRunning opens with
    // the session's timeouts (the driver's own SQLCancel connects with none). Used under
    // runningMutex_ only; given up after it failed at the connection.
    std::unique_ptr<DbSession> killer_;
    bool killerLost_ = false;
    // Statements prepared once per connection, re-executed with new parameters.
    std::map<std::wstring, unique_odbc_stmt, std::less<>> statements_;
};

}  // namespace ksr
