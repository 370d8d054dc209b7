#include "server/database.h"

#include <algorithm>
#include <mutex>
#include <tuple>
#include <utility>
#include <cwchar>
#include <vector>

#include "server/connection_string.h"

namespace ksr {
namespace {

SQLWCHAR* Sql(const std::wstring& text) {
    return reinterpret_cast<SQLWCHAR*>(const_cast<wchar_t*>(text.c_str()));
}

Error Diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    Error error;
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1;; ++record) {
        const SQLRETURN rc = SQLGetDiagRecW(handleType, handle, record, state, &native, message,
                                            static_cast<SQLSMALLINT>(std::size(message)), &length);
        if (!SQL_SUCCEEDED(rc)) break;
        if (record == 1) {
            error.sqlstate = reinterpret_cast<const wchar_t*>(state);
            error.nativeError = native;
        } else {
            error.message += L"\n";
        }
        error.message += reinterpret_cast<const wchar_t*>(message);
    }
    if (error.sqlstate.empty()) error.sqlstate = L"HY000";
    return error;
}

bool IsCaseInsensitiveEqual(std::wstring_view a, std::wstring_view b) {
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

// Reads a whole text column of the current row (no value for NULL); integers come back as
// decimal digits.
Result<std::optional<std::wstring>> ReadColumn(SQLHSTMT stmt, SQLUSMALLINT index) {
    std::wstring text;
    std::vector<wchar_t> chunk(1024);
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(stmt, index, SQL_C_WCHAR, chunk.data(),
                       static_cast<SQLLEN>(chunk.size() * sizeof(wchar_t)), &indicator);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) return Diagnostics(SQL_HANDLE_STMT, stmt);
        if (indicator == SQL_NULL_DATA) return std::optional<std::wstring>();
        const size_t capacity = chunk.size() - 1;
        const size_t got =
            (indicator == SQL_NO_TOTAL || indicator / 2 > static_cast<SQLLEN>(capacity))
                ? capacity
                : static_cast<size_t>(indicator / 2);
        text.append(chunk.data(), got);
        if (rc == SQL_SUCCESS) break;
    }
    return std::optional<std::wstring>(std::move(text));
}

// Fails with the truncation among the diagnostics of a statement that succeeded with
// information.
Status TruncationInfo(SQLHSTMT stmt) {
    SQLWCHAR state[6] = {};
    SQLINTEGER native = 0;
    SQLWCHAR message[1024] = {};
    SQLSMALLINT length = 0;
    for (SQLSMALLINT record = 1;; ++record) {
        const SQLRETURN rc = SQLGetDiagRecW(SQL_HANDLE_STMT, stmt, record, state, &native, message,
                                            static_cast<SQLSMALLINT>(std::size(message)), &length);
        if (!SQL_SUCCEEDED(rc)) return {};
        const std::wstring_view text = reinterpret_cast<const wchar_t*>(state);
        // The SQLSTATEs a driver attaches to a statement that stored a value cut short.
        if (text == L"01004" || text == L"22001") {
            return DatabaseError(std::wstring(text), reinterpret_cast<const wchar_t*>(message),
                                 native);
        }
    }
}

// MySQL warnings for a value stored altered, with the SQLSTATE MySQL documents for each:
// 1265 data truncated, 1366 incorrect value (a character the column's set cannot hold),
// 1406 data too long.
const wchar_t* TruncationWarningState(long code) {
    switch (code) {
        case 1265:
            return L"01000";
        case 1366:
            return L"HY000";
        case 1406:
            return L"22001";
        default:
            return nullptr;
    }
}

Error Refused(const wchar_t* sqlstate, const wchar_t* message) {
    return DatabaseError(sqlstate, message);
}

// The connection's id, and what tells its session from a later one the server gives the same
// id (SQL Server hands freed ids out again, MySQL after a restart): MySQL's client address and
// port, SQL Server's login time.
constexpr wchar_t kSessionIdMySql[] =
    L"select ID as id, HOST as tag from information_schema.PROCESSLIST where ID=CONNECTION_ID()";
constexpr wchar_t kSessionIdSqlServer[] =
    L"select session_id as id, convert(varchar(30),login_time,126) as tag "
    L"from sys.dm_exec_sessions where session_id=@@SPID";

// The server's id of the connection `dbc`, as its session list and KILL name it, and its tag.
Result<std::pair<std::wstring, std::wstring>> ReadSessionId(SQLHDBC dbc, bool mysql,
                                                            unsigned timeoutSeconds) {
    unique_odbc_stmt stmt;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc, stmt.put()))) {
        stmt.reset();
        return Diagnostics(SQL_HANDLE_DBC, dbc);
    }
    SQLSetStmtAttrW(stmt.get(), SQL_ATTR_QUERY_TIMEOUT,
                    reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(timeoutSeconds)), 0);
    const std::wstring text = mysql ? kSessionIdMySql : kSessionIdSqlServer;
    if (!SQL_SUCCEEDED(SQLExecDirectW(stmt.get(), Sql(text), SQL_NTS)) ||
        !SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
        return Diagnostics(SQL_HANDLE_STMT, stmt.get());
    }
    Result<std::optional<std::wstring>> id = ReadColumn(stmt.get(), 1);
    if (!id) return std::move(id).error();
    Result<std::optional<std::wstring>> tag = ReadColumn(stmt.get(), 2);
    if (!tag) return std::move(tag).error();
    if (!*id || !*tag) return DatabaseError(L"HY000", L"The server told no connection id.");
    return std::pair(std::move(**id), std::move(**tag));
}

}  // namespace

DbSession::DbSession(std::wstring connectionString, unsigned loginTimeoutSeconds,
                     unsigned statementTimeoutSeconds)
    : connectionString_(std::move(connectionString)),
      loginTimeout_(loginTimeoutSeconds),
      statementTimeout_(statementTimeoutSeconds) {}

DbSession::~DbSession() {
    Close();
}

void DbSession::Close() {
    statements_.clear();
    if (dbc_ && inTransaction_) {
        // Best effort: a connection that already failed answers at once, and a driver may
        // refuse to disconnect while a transaction is open.
        SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
    }
    if (inTransaction_) transactionLost_ = true;
    manualCommit_ = false;
    sessionId_.clear();
    sessionTag_.clear();
    connection_.reset();
    dbc_.reset();
}

void DbSession::Lose() {
    if (dbc_) {
        lostSessionId_ = sessionId_;
        lostSessionTag_ = sessionTag_;
    }
    Close();
}

const wchar_t* DbSession::SessionIdStatement(bool mysql) {
    return mysql ? kSessionIdMySql : kSessionIdSqlServer;
}

Error DbSession::Fail(SQLSMALLINT handleType, SQLHANDLE handle) {
    Error error = Diagnostics(handleType, handle);
    if (error.IsConnectionLevel()) Lose();
    return error;
}

Status DbSession::Open() {
    if (dbc_) return {};
    if (!env_) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, env_.put()))) {
            env_.reset();
            return DatabaseError(L"HY001", L"The ODBC environment could not be created.");
        }
        SQLSetEnvAttr(env_.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3),
                      0);
    }
    unique_odbc_dbc dbc;
    if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, env_.get(), dbc.put()))) {
        dbc.reset();
        return Diagnostics(SQL_HANDLE_ENV, env_.get());
    }
    // Without a login timeout an unreachable server holds the run for minutes.
    SQLSetConnectAttrW(dbc.get(), SQL_ATTR_LOGIN_TIMEOUT,
                       reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(loginTimeout_)), 0);
    const std::wstring odbc =
        ToOdbcConnectionString(connectionString_, DriverTimeouts{loginTimeout_, statementTimeout_});
    const SQLRETURN rc = SQLDriverConnectW(dbc.get(), nullptr, Sql(odbc), SQL_NTS, nullptr, 0,
                                           nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        // The handle never connected: it is freed without a disconnect.
        return Diagnostics(SQL_HANDLE_DBC, dbc.get());
    }
    dbc_ = std::move(dbc);
    connection_.reset(dbc_.get());
    manualCommit_ = false;
    SQLWCHAR dbms[64] = {};
    SQLSMALLINT dbmsLength = 0;
    SQLGetInfoW(dbc_.get(), SQL_DBMS_NAME, dbms, sizeof dbms, &dbmsLength);
    const std::wstring_view name = reinterpret_cast<const wchar_t*>(dbms);
    mysql_ = name.find(L"MySQL") != name.npos || name.find(L"MariaDB") != name.npos;
    // Should this connection be lost, its id is how the session it leaves on the server is
    // found and ended. A connection lost already carried nothing: the one lost before stays
    // the one to end.
    Result<std::pair<std::wstring, std::wstring>> id =
        ReadSessionId(dbc_.get(), mysql_, statementTimeout_);
    if (!id && id.error().IsConnectionLevel()) {
        Close();
        return std::move(id).error();
    }
    if (id) std::tie(sessionId_, sessionTag_) = std::move(*id);
    return {};
}

Status DbSession::SetIsolation(SQLULEN level) {
    const SQLRETURN rc = SQLSetConnectAttrW(dbc_.get(), SQL_ATTR_TXN_ISOLATION,
                                            reinterpret_cast<SQLPOINTER>(level), 0);
    if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_DBC, dbc_.get());
    return {};
}

Status DbSession::SetAutocommit(bool on) {
    const SQLULEN value = on ? SQL_AUTOCOMMIT_ON : SQL_AUTOCOMMIT_OFF;
    const SQLRETURN rc =
        SQLSetConnectAttrW(dbc_.get(), SQL_ATTR_AUTOCOMMIT, reinterpret_cast<SQLPOINTER>(value), 0);
    if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_DBC, dbc_.get());
    manualCommit_ = !on;
    return {};
}

Status DbSession::Begin() {
    if (inTransaction_ && !transactionLost_) {
        return Refused(L"25000", L"A transaction is already open.");
    }
    // A transaction lost with its connection was rolled back by the server; start afresh.
    inTransaction_ = false;
    transactionLost_ = false;
    if (Status opened = Open(); !opened) return opened;
    if (!manualCommit_) {
        if (Status set = SetAutocommit(false); !set) return set;
    }
    inTransaction_ = true;
    return {};
}

Status DbSession::Commit() {
    if (!inTransaction_) return {};
    if (transactionLost_ || !dbc_) {
        inTransaction_ = false;
        transactionLost_ = false;
        return Refused(L"08003",
                       L"The connection was lost inside the transaction; nothing was committed.");
    }
    inTransaction_ = false;
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_COMMIT))) {
        Error error = Diagnostics(SQL_HANDLE_DBC, dbc_.get());
        // Whatever the server kept, this connection is not reused half-way through.
        SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
        Lose();
        return error;
    }
    // Autocommit comes back on before the next statement outside a transaction (see Run), so
    // that a run of transactions pays no round trips for switching it off and on again.
    return {};
}

void DbSession::Rollback() {
    if (!inTransaction_) return;
    inTransaction_ = false;
    transactionLost_ = false;
    if (!dbc_) return;
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK))) Lose();
}

Result<SQLHSTMT> DbSession::Prepared(std::wstring_view sql) {
    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        unique_odbc_stmt fresh;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), fresh.put()))) {
            fresh.reset();
            return Fail(SQL_HANDLE_DBC, dbc_.get());
        }
        // Honoured by drivers that time statements themselves; the MySQL driver refuses it
        // and relies on its read timeout instead.
        SQLSetStmtAttrW(fresh.get(), SQL_ATTR_QUERY_TIMEOUT,
                        reinterpret_cast<SQLPOINTER>(static_cast<SQLULEN>(statementTimeout_)), 0);
        const std::wstring text(sql);
        if (!SQL_SUCCEEDED(SQLPrepareW(fresh.get(), Sql(text), SQL_NTS))) {
            Error error = Diagnostics(SQL_HANDLE_STMT, fresh.get());
            fresh.reset();
            if (error.IsConnectionLevel()) Lose();
            return error;
        }
        found = statements_.emplace(text, std::move(fresh)).first;
    }
    return found->second.get();
}

Result<SQLHSTMT> DbSession::Run(std::wstring_view sql, DbParams params) {
    if (transactionLost_) {
        return Refused(L"08003",
                       L"The connection was lost inside the transaction; it must be rolled back.");
    }
    if (Status opened = Open(); !opened) return std::move(opened).error();
    if (!inTransaction_ && manualCommit_) {
        if (Status set = SetAutocommit(true); !set) return std::move(set).error();
    }

    Result<SQLHSTMT> prepared = Prepared(sql);
    if (!prepared) return prepared;
    SQLHSTMT stmt = *prepared;
    SQLFreeStmt(stmt, SQL_CLOSE);

    std::vector<SQLLEN> lengths(params.size());
    for (size_t i = 0; i < params.size(); ++i) {
        const std::wstring_view value = params[i];
        lengths[i] = static_cast<SQLLEN>(value.size() * sizeof(wchar_t));
        const SQLULEN columnSize = std::max<SQLULEN>(value.size(), 1);
        // Long texts need the long type; some drivers cap the plain one at 4000 characters.
        const SQLSMALLINT sqlType = columnSize > 4000 ? SQL_WLONGVARCHAR : SQL_WVARCHAR;
        static wchar_t empty[1] = {L'\0'};
        SQLPOINTER data = value.empty() ? empty : const_cast<wchar_t*>(value.data());
        const SQLRETURN rc =
            SQLBindParameter(stmt, static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                             sqlType, columnSize, 0, data, lengths[i], &lengths[i]);
        if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_STMT, stmt);
    }
    {
        const std::lock_guard lock(runningMutex_);
        running_ = stmt;
        runningSince_ = GetTickCount64();
        runningSession_ = sessionId_;
        runningCancelled_ = false;
    }
    const SQLRETURN rc = SQLExecute(stmt);
    {
        const std::lock_guard lock(runningMutex_);
        running_ = SQL_NULL_HSTMT;
    }
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) return Fail(SQL_HANDLE_STMT, stmt);
    if (rc == SQL_SUCCESS_WITH_INFO) {
        if (Status clean = TruncationInfo(stmt); !clean) {
            SQLFreeStmt(stmt, SQL_CLOSE);
            return std::move(clean).error();
        }
    }
    return stmt;
}

ULONGLONG DbSession::RunningMs() {
    const std::lock_guard lock(runningMutex_);
    return running_ == SQL_NULL_HSTMT ? 0 : GetTickCount64() - runningSince_;
}

void DbSession::CancelRunning() {
    const std::lock_guard lock(runningMutex_);
    if (running_ == SQL_NULL_HSTMT || std::exchange(runningCancelled_, true)) return;
    if (!mysql_) {
        // SQL Server's drivers send the cancel on the statement's own connection; the executing
        // call returns with SQLSTATE HY008.
        SQLCancel(running_);
        return;
    }
    // The statement fails with 1317 (query execution was interrupted). A session id of digits
    // only goes into the text: KILL takes no parameter.
    const bool known = !runningSession_.empty() &&
                       runningSession_.find_first_not_of(L"0123456789") == std::wstring::npos;
    if (!known || killerLost_) return;
    if (!killer_) {
        killer_ = std::make_unique<DbSession>(connectionString_, loginTimeout_, statementTimeout_);
    }
    if (const Status killed = killer_->Execute(L"KILL QUERY " + runningSession_); !killed) {
        killerLost_ = killed.error().IsConnectionLevel();
    }
}

Status DbSession::TruncationWarning() {
    Result<SQLHSTMT> ran = Run(L"SHOW WARNINGS", {});
    if (!ran) return std::move(ran).error();
    const SQLHSTMT stmt = *ran;
    const odbc_cursor cursor(stmt, dbc_);
    std::optional<Error> found;
    while (!found) {
        const SQLRETURN fetched = SQLFetch(stmt);
        if (fetched == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(fetched)) return Fail(SQL_HANDLE_STMT, stmt);
        Result<std::optional<std::wstring>> code = ReadColumn(stmt, 2);
        Result<std::optional<std::wstring>> message =
            code ? ReadColumn(stmt, 3) : Result<std::optional<std::wstring>>(code.error());
        if (!message) {
            if (message.error().IsConnectionLevel()) Lose();
            return std::move(message).error();
        }
        const long native = code->has_value() ? std::wcstol((*code)->c_str(), nullptr, 10) : 0;
        if (const wchar_t* state = TruncationWarningState(native)) {
            found = DatabaseError(state, message->value_or(L""), native);
        }
    }
    if (found) return std::move(*found);
    return {};
}

Status DbSession::Execute(std::wstring_view sql, DbParams params) {
    Result<SQLHSTMT> ran = Run(sql, params);
    if (!ran) return std::move(ran).error();
    if (*ran) SQLFreeStmt(*ran, SQL_CLOSE);
    // MySQL outside strict mode stores an over-long value cut short, and a character its
    // column's set cannot hold as "?", with only a warning; ask for the warnings of statements
    // that carried values. Only they can have been altered.
    if (mysql_ && !params.empty()) return TruncationWarning();
    return {};
}

Result<SQLSMALLINT> DbSession::ResultColumns(SQLHSTMT stmt) {
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    while (columns == 0) {
        const SQLRETURN more = SQLMoreResults(stmt);
        if (more == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(more)) return Fail(SQL_HANDLE_STMT, stmt);
        SQLNumResultCols(stmt, &columns);
    }
    return columns;
}

namespace {

// Rows fetched per call: each fetched row would otherwise cost a call per column, and under
// Wine each call crosses into the system's ODBC; a read-back of 256 rows took 1,500 of them.
constexpr SQLULEN kRowsPerFetch = 64;
// Columns wider than this (in characters) are read piece by piece instead.
constexpr SQLULEN kWidestBound = 4000;

// One column bound for kRowsPerFetch rows: the values one after the other, each in room for
// twice its characters (a character beyond the BMP takes two UTF-16 units) and a terminator.
struct BoundColumn {
    size_t room = 0;
    std::vector<wchar_t> values;
    std::vector<SQLLEN> lengths;
};

// Appends the `fetched` rows of one block to `rows`; false when a value did not fit its room,
// and the rows must be read again piece by piece.
bool TakeRows(const std::vector<BoundColumn>& bound, SQLULEN fetched, std::vector<DbRow>& rows) {
    for (SQLULEN r = 0; r < fetched && r < kRowsPerFetch; ++r) {
        DbRow& row = rows.emplace_back();
        for (const BoundColumn& column : bound) {
            const SQLLEN length = column.lengths[r];
            if (length == SQL_NULL_DATA) {
                row.emplace_back();
                continue;
            }
            if (length < 0 || static_cast<size_t>(length) / sizeof(wchar_t) >= column.room) {
                return false;
            }
            row.emplace_back(std::wstring(column.values.data() + r * column.room,
                                          static_cast<size_t>(length) / sizeof(wchar_t)));
        }
    }
    return true;
}

}  // namespace

Result<std::optional<std::vector<DbRow>>> DbSession::FetchBound(SQLHSTMT stmt,
                                                                SQLSMALLINT columns) {
    std::vector<BoundColumn> bound(static_cast<size_t>(columns));
    for (SQLUSMALLINT i = 1; i <= columns; ++i) {
        SQLULEN size = 0;
        if (!SQL_SUCCEEDED(
                SQLDescribeColW(stmt, i, nullptr, 0, nullptr, nullptr, &size, nullptr, nullptr)) ||
            size == 0 || size > kWidestBound) {
            return std::optional<std::vector<DbRow>>();
        }
        BoundColumn& column = bound[i - 1];
        column.room = 2 * size + 1;
        column.values.resize(column.room * kRowsPerFetch);
        column.lengths.resize(kRowsPerFetch);
    }
    SQLULEN fetched = 0;
    const auto attr = [&](SQLINTEGER name, SQLPOINTER value) {
        return SQL_SUCCEEDED(SQLSetStmtAttrW(stmt, name, value, 0));
    };
    // The prepared statement is used again: it is left closed, unbound and fetching one row at
    // a time. A connection lost on the way frees the handle with the session (Lose): it is left
    // alone.
    const odbc_cursor cursor(stmt, dbc_);
    const auto unbind = scope_exit([&] {
        if (!dbc_) return;
        SQLFreeStmt(stmt, SQL_UNBIND);
        SQLSetStmtAttrW(stmt, SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(1), 0);
        SQLSetStmtAttrW(stmt, SQL_ATTR_ROWS_FETCHED_PTR, nullptr, 0);
    });
    if (!attr(SQL_ATTR_ROW_BIND_TYPE, reinterpret_cast<SQLPOINTER>(SQL_BIND_BY_COLUMN)) ||
        !attr(SQL_ATTR_ROW_ARRAY_SIZE, reinterpret_cast<SQLPOINTER>(kRowsPerFetch)) ||
        !attr(SQL_ATTR_ROWS_FETCHED_PTR, &fetched)) {
        return std::optional<std::vector<DbRow>>();
    }
    for (SQLUSMALLINT i = 1; i <= columns; ++i) {
        BoundColumn& column = bound[i - 1];
        if (!SQL_SUCCEEDED(SQLBindCol(stmt, i, SQL_C_WCHAR, column.values.data(),
                                      static_cast<SQLLEN>(column.room * sizeof(wchar_t)),
                                      column.lengths.data()))) {
            return std::optional<std::vector<DbRow>>();
        }
    }
    std::vector<DbRow> rows;
    for (;;) {
        const SQLRETURN rc = SQLFetch(stmt);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) return Fail(SQL_HANDLE_STMT, stmt);
        // A warning may stand for a row the driver could not fill: read value by value instead.
        if (rc == SQL_SUCCESS_WITH_INFO) return std::optional<std::vector<DbRow>>();
        if (!TakeRows(bound, fetched, rows)) return std::optional<std::vector<DbRow>>();
    }
    return std::optional<std::vector<DbRow>>(std::move(rows));
}

Result<std::vector<DbRow>> DbSession::QueryRows(std::wstring_view sql, DbParams params) {
    Result<SQLHSTMT> ran = Run(sql, params);
    if (!ran) return std::move(ran).error();
    SQLHSTMT stmt = *ran;
    Result<SQLSMALLINT> columns = ResultColumns(stmt);
    if (!columns) return std::move(columns).error();
    if (*columns > 0) {
        Result<std::optional<std::vector<DbRow>>> fast = FetchBound(stmt, *columns);
        if (!fast) return std::move(fast).error();
        if (*fast) return std::move(**fast);
        // Not to be had in blocks (a wide column, a driver that refuses, a value that did not
        // fit): the statement runs again and is read a value at a time.
        ran = Run(sql, params);
        if (!ran) return std::move(ran).error();
        stmt = *ran;
        columns = ResultColumns(stmt);
        if (!columns) return std::move(columns).error();
    }
    const odbc_cursor cursor(stmt, dbc_);
    std::vector<DbRow> rows;
    for (;;) {
        const SQLRETURN fetched = SQLFetch(stmt);
        if (fetched == SQL_NO_DATA || *columns == 0) break;
        if (!SQL_SUCCEEDED(fetched)) return Fail(SQL_HANDLE_STMT, stmt);
        DbRow& row = rows.emplace_back();
        for (SQLUSMALLINT i = 1; i <= *columns; ++i) {
            Result<std::optional<std::wstring>> value = ReadColumn(stmt, i);
            if (!value) {
                Error error = std::move(value).error();
                if (error.IsConnectionLevel()) Lose();
                return error;
            }
            row.push_back(std::move(*value));
        }
    }
    return rows;
}

Result<DbRow> DbSession::FirstRow(std::wstring_view sql, DbParams params,
                                  std::wstring_view column) {
    Result<SQLHSTMT> ran = Run(sql, params);
    if (!ran) return std::move(ran).error();
    const SQLHSTMT stmt = *ran;
    const odbc_cursor cursor(stmt, dbc_);

    Result<SQLSMALLINT> columns = ResultColumns(stmt);
    if (!columns) return std::move(columns).error();
    SQLUSMALLINT first = 1, last = static_cast<SQLUSMALLINT>(*columns);
    if (!column.empty()) {
        first = 0;
        for (SQLUSMALLINT i = 1; i <= *columns && first == 0; ++i) {
            SQLWCHAR name[256] = {};
            SQLSMALLINT nameLength = 0;
            SQLDescribeColW(stmt, i, name, static_cast<SQLSMALLINT>(std::size(name)), &nameLength,
                            nullptr, nullptr, nullptr, nullptr);
            if (IsCaseInsensitiveEqual(reinterpret_cast<const wchar_t*>(name), column)) first = i;
        }
        last = first;
    }
    const SQLRETURN fetched = SQLFetch(stmt);
    if (fetched == SQL_NO_DATA) return DbRow();
    if (!SQL_SUCCEEDED(fetched)) return Fail(SQL_HANDLE_STMT, stmt);
    if (first == 0) return DatabaseError(L"42S22", L"Column not found: " + std::wstring(column));
    DbRow values;
    for (SQLUSMALLINT i = first; i <= last; ++i) {
        Result<std::optional<std::wstring>> value = ReadColumn(stmt, i);
        if (!value) {
            Error error = std::move(value).error();
            if (error.IsConnectionLevel()) Lose();
            return error;
        }
        values.push_back(std::move(*value));
    }
    return values;
}

Result<std::optional<std::wstring>> DbSession::QueryValue(std::wstring_view sql,
                                                          std::wstring_view column,
                                                          DbParams params) {
    // An empty name would read every column.
    if (column.empty()) return DatabaseError(L"42S22", L"Column not found: ");
    Result<DbRow> row = FirstRow(sql, params, column);
    if (!row) return std::move(row).error();
    if (row->empty()) return std::optional<std::wstring>();
    return std::move(row->front());
}

Result<DbRow> DbSession::QueryRow(std::wstring_view sql, DbParams params) {
    return FirstRow(sql, params, {});
}

Result<std::optional<std::wstring>> DbSession::QueryCommittedValue(std::wstring_view sql,
                                                                   std::wstring_view column,
                                                                   DbParams params) {
    // A level set inside a transaction would not hold for it.
    if (inTransaction_) {
        return Refused(L"25000", L"The isolation level can't change inside a transaction.");
    }
    if (Status opened = Open(); !opened) return std::move(opened).error();
    if (manualCommit_) {
        if (Status set = SetAutocommit(true); !set) return std::move(set).error();
    }
    // Each driver sets the level for the session in its server's own words; a statement would
    // differ in scope between the two (MySQL's SET TRANSACTION without SESSION holds for the
    // next transaction only, SQL Server's for the session).
    if (Status set = SetIsolation(SQL_TXN_READ_COMMITTED); !set) return std::move(set).error();
    Result<std::optional<std::wstring>> value = QueryValue(sql, column, params);
    // The level stays with the connection, and no driver tells the server's own level to go
    // back to (the MySQL one answers REPEATABLE READ whatever the server's): the next statement
    // opens a connection at the server's own.
    Close();
    return value;
}

}  // namespace ksr
