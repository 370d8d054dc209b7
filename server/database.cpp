#include "server/database.h"

#include <vector>

#include "server/connection_string.h"

namespace ksr {
namespace {

SQLWCHAR* Sql(const std::wstring& text) {
    return reinterpret_cast<SQLWCHAR*>(const_cast<wchar_t*>(text.c_str()));
}

DbError Diagnostics(SQLSMALLINT handleType, SQLHANDLE handle) {
    DbError error;
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

// Reads a whole text column of the current row; integers come back as decimal digits.
std::optional<std::wstring> ReadColumn(SQLHSTMT stmt, SQLUSMALLINT index, DbError& error,
                                       bool& failed) {
    std::wstring text;
    std::vector<wchar_t> chunk(1024);
    for (;;) {
        SQLLEN indicator = 0;
        const SQLRETURN rc =
            SQLGetData(stmt, index, SQL_C_WCHAR, chunk.data(),
                       static_cast<SQLLEN>(chunk.size() * sizeof(wchar_t)), &indicator);
        if (rc == SQL_NO_DATA) break;
        if (!SQL_SUCCEEDED(rc)) {
            error = Diagnostics(SQL_HANDLE_STMT, stmt);
            failed = true;
            return std::nullopt;
        }
        if (indicator == SQL_NULL_DATA) return std::nullopt;
        const size_t capacity = chunk.size() - 1;
        const size_t got =
            (indicator == SQL_NO_TOTAL || indicator / 2 > static_cast<SQLLEN>(capacity))
                ? capacity
                : static_cast<size_t>(indicator / 2);
        text.append(chunk.data(), got);
        if (rc == SQL_SUCCESS) break;
    }
    return text;
}

}  // namespace

bool DbError::IsConnectionLevel() const {
    if (sqlstate.starts_with(L"08")) return true;
    // MySQL client: 2006 server has gone away, 2013 lost connection during query.
    return nativeError == 2006 || nativeError == 2013 || nativeError == 2055;
}

DbSession::DbSession(std::wstring connectionString, unsigned loginTimeoutSeconds)
    : connectionString_(std::move(connectionString)), loginTimeout_(loginTimeoutSeconds) {}

DbSession::~DbSession() {
    Close();
}

void DbSession::Close() {
    statements_.clear();
    dbc_.reset();
}

DbError DbSession::Fail(SQLSMALLINT handleType, SQLHANDLE handle) {
    DbError error = Diagnostics(handleType, handle);
    if (error.IsConnectionLevel()) Close();
    return error;
}

std::optional<DbError> DbSession::Open() {
    if (dbc_) return std::nullopt;
    if (!env_) {
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, env_.put()))) {
            env_.reset();
            return DbError{L"HY001", L"The ODBC environment could not be created.", 0};
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
    const std::wstring odbc = ToOdbcConnectionString(connectionString_);
    const SQLRETURN rc = SQLDriverConnectW(dbc.get(), nullptr, Sql(odbc), SQL_NTS, nullptr, 0,
                                           nullptr, SQL_DRIVER_NOPROMPT);
    if (!SQL_SUCCEEDED(rc)) {
        DbError error = Diagnostics(SQL_HANDLE_DBC, dbc.get());
        // A handle that never connected must not be disconnected; free it directly.
        SQLFreeHandle(SQL_HANDLE_DBC, dbc.release());
        return error;
    }
    dbc_ = std::move(dbc);
    return std::nullopt;
}

std::optional<DbError> DbSession::Run(std::wstring_view sql, DbParams params, SQLHSTMT& stmt) {
    if (auto error = Open()) return error;

    auto found = statements_.find(sql);
    if (found == statements_.end()) {
        unique_odbc_stmt fresh;
        if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_STMT, dbc_.get(), fresh.put()))) {
            fresh.reset();
            return Fail(SQL_HANDLE_DBC, dbc_.get());
        }
        const std::wstring text(sql);
        if (!SQL_SUCCEEDED(SQLPrepareW(fresh.get(), Sql(text), SQL_NTS))) {
            DbError error = Diagnostics(SQL_HANDLE_STMT, fresh.get());
            fresh.reset();
            if (error.IsConnectionLevel()) Close();
            return error;
        }
        found = statements_.emplace(text, std::move(fresh)).first;
    }
    stmt = found->second.get();
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
    const SQLRETURN rc = SQLExecute(stmt);
    if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) return Fail(SQL_HANDLE_STMT, stmt);
    return std::nullopt;
}

std::optional<DbError> DbSession::Execute(std::wstring_view sql, DbParams params) {
    SQLHSTMT stmt = nullptr;
    auto error = Run(sql, params, stmt);
    if (!error && stmt) SQLFreeStmt(stmt, SQL_CLOSE);
    return error;
}

DbValue DbSession::QueryValue(std::wstring_view sql, std::wstring_view column, DbParams params) {
    SQLHSTMT stmt = nullptr;
    if (auto error = Run(sql, params, stmt)) return {std::nullopt, std::move(error)};

    DbValue result;
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    SQLUSMALLINT index = 0;
    for (SQLUSMALLINT i = 1; i <= columns && index == 0; ++i) {
        SQLWCHAR name[256] = {};
        SQLSMALLINT nameLength = 0;
        SQLDescribeColW(stmt, i, name, static_cast<SQLSMALLINT>(std::size(name)), &nameLength,
                        nullptr, nullptr, nullptr, nullptr);
        if (IsCaseInsensitiveEqual(reinterpret_cast<const wchar_t*>(name), column)) index = i;
    }
    const SQLRETURN fetched = SQLFetch(stmt);
    if (fetched == SQL_NO_DATA) {
        SQLFreeStmt(stmt, SQL_CLOSE);
        return result;
    }
    if (!SQL_SUCCEEDED(fetched)) {
        result.error = Fail(SQL_HANDLE_STMT, stmt);
        return result;
    }
    if (index == 0) {
        result.error = DbError{L"42S22", L"Column not found: " + std::wstring(column), 0};
    } else {
        DbError error;
        bool failed = false;
        result.value = ReadColumn(stmt, index, error, failed);
        if (failed) {
            result.error = error;
            if (error.IsConnectionLevel()) {
                Close();
                return result;
            }
        }
    }
    SQLFreeStmt(stmt, SQL_CLOSE);
    return result;
}

DbRow DbSession::QueryRow(std::wstring_view sql, DbParams params) {
    SQLHSTMT stmt = nullptr;
    DbRow row;
    if (auto error = Run(sql, params, stmt)) {
        row.error = error;
        return row;
    }
    SQLSMALLINT columns = 0;
    SQLNumResultCols(stmt, &columns);
    if (SQLFetch(stmt) == SQL_NO_DATA) {
        SQLFreeStmt(stmt, SQL_CLOSE);
        return row;
    }
    for (SQLUSMALLINT i = 1; i <= columns; ++i) {
        DbError error;
        bool failed = false;
        row.values.push_back(ReadColumn(stmt, i, error, failed));
    }
    SQLFreeStmt(stmt, SQL_CLOSE);
    return row;
}

std::optional<DbError> DbSession::Begin() {
    if (auto error = Open()) return error;
    if (!SQL_SUCCEEDED(SQLSetConnectAttrW(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                                          reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_OFF), 0)))
        return Fail(SQL_HANDLE_DBC, dbc_.get());
    return std::nullopt;
}

std::optional<DbError> DbSession::Commit() {
    if (!dbc_) return DbError{L"08003", L"not connected", 0};
    if (!SQL_SUCCEEDED(SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_COMMIT)))
        return Fail(SQL_HANDLE_DBC, dbc_.get());
    SQLSetConnectAttrW(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
    return std::nullopt;
}

void DbSession::Rollback() {
    if (!dbc_) return;
    SQLEndTran(SQL_HANDLE_DBC, dbc_.get(), SQL_ROLLBACK);
    SQLSetConnectAttrW(dbc_.get(), SQL_ATTR_AUTOCOMMIT,
                       reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
}

}  // namespace ksr
