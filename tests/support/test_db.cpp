#include "support/test_db.h"

#include <windows.h>
#include <sql.h>
#include <sqlext.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "util/handles.h"
#include "util/paths.h"

namespace ksr::test {
namespace {

std::wstring Widen(const std::string& text) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

std::wstring EnvValue(const wchar_t* name) {
    wchar_t buffer[1024];
    const DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring();
}

}  // namespace

std::wstring ConfigField(const std::wstring& config, const std::wstring& key) {
    const std::wstring marker = key + L"=";
    size_t at = 0;
    while (at < config.size()) {
        size_t end = config.find(L';', at);
        if (end == std::wstring::npos) end = config.size();
        if (config.compare(at, marker.size(), marker) == 0) {
            return config.substr(at + marker.size(), end - at - marker.size());
        }
        at = end + 1;
    }
    return {};
}

namespace {

std::wstring Diag(SQLSMALLINT type, SQLHANDLE handle) {
    SQLWCHAR state[6] = {}, message[1024] = {};
    SQLINTEGER native = 0;
    SQLSMALLINT length = 0;
    SQLGetDiagRecW(type, handle, 1, state, &native, message, 1024, &length);
    return std::wstring(reinterpret_cast<wchar_t*>(state)) + L" " +
           reinterpret_cast<wchar_t*>(message);
}

// Runs each statement on its own connection and collects the last one's rows.
std::wstring RunScript(const std::wstring& connString, const std::vector<std::wstring>& statements,
                       std::vector<Row>* rows) {
    unique_odbc_env env;
    SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, env.put());
    SQLSetEnvAttr(env.get(), SQL_ATTR_ODBC_VERSION, reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0);
    unique_odbc_dbc dbc;
    SQLAllocHandle(SQL_HANDLE_DBC, env.get(), dbc.put());
    std::wstring cs = connString;
    if (!SQL_SUCCEEDED(SQLDriverConnectW(dbc.get(), nullptr, reinterpret_cast<SQLWCHAR*>(cs.data()),
                                         SQL_NTS, nullptr, 0, nullptr, SQL_DRIVER_NOPROMPT))) {
        return L"connect: " + Diag(SQL_HANDLE_DBC, dbc.get());
    }
    const unique_odbc_connection connection(dbc.get());
    for (const std::wstring& sql : statements) {
        unique_odbc_stmt stmt;
        SQLAllocHandle(SQL_HANDLE_STMT, dbc.get(), stmt.put());
        std::wstring text = sql;
        const SQLRETURN rc =
            SQLExecDirectW(stmt.get(), reinterpret_cast<SQLWCHAR*>(text.data()), SQL_NTS);
        if (!SQL_SUCCEEDED(rc) && rc != SQL_NO_DATA) return Diag(SQL_HANDLE_STMT, stmt.get());
        if (!rows) continue;
        rows->clear();
        SQLSMALLINT columns = 0;
        SQLNumResultCols(stmt.get(), &columns);
        while (columns > 0 && SQL_SUCCEEDED(SQLFetch(stmt.get()))) {
            Row row;
            for (SQLUSMALLINT c = 1; c <= columns; ++c) {
                std::wstring value;
                wchar_t chunk[4096];
                SQLLEN indicator = 0;
                bool isNull = false;
                for (;;) {
                    const SQLRETURN got =
                        SQLGetData(stmt.get(), c, SQL_C_WCHAR, chunk, sizeof chunk, &indicator);
                    if (!SQL_SUCCEEDED(got)) break;
                    if (indicator == SQL_NULL_DATA) {
                        isNull = true;
                        break;
                    }
                    value += chunk;
                    if (got == SQL_SUCCESS) break;
                }
                row.push_back(isNull ? std::nullopt : std::optional(value));
            }
            rows->push_back(row);
        }
    }
    return {};
}

std::vector<std::wstring> SplitStatements(const std::wstring& script) {
    std::vector<std::wstring> statements;
    std::wstring current;
    std::wistringstream in(script);
    for (std::wstring line; std::getline(in, line);) {
        if (!line.empty() && line.back() == L'\r') line.pop_back();
        if (line.starts_with(L"--")) continue;
        current += line + L"\n";
        if (line.ends_with(L";")) {
            current.resize(current.size() - 2);
            statements.push_back(current);
            current.clear();
        }
    }
    if (current.find_first_not_of(L" \n") != std::wstring::npos) statements.push_back(current);
    return statements;
}

}  // namespace

std::wstring UnixToWindowsPath(const std::wstring& path) {
    return ReplaceAll(path.starts_with(L"/") ? L"Z:" + path : path, L'/', L'\\');
}

// Under Wine the build's Unix paths are reached through drive Z:.
std::wstring WindowsPath(const char* dir, const std::wstring& name) {
    return UnixToWindowsPath(Widen(dir) + L"/" + name);
}

std::wstring FixturePath(const std::wstring& name) {
    return WindowsPath(KSR_FIXTURES_DIR, name);
}
std::wstring BuildOutput(const std::wstring& name) {
    return WindowsPath(KSR_BUILD_DIR, name);
}

TestDatabase::TestDatabase(const wchar_t* serverVariable) {
    config_ = EnvValue(serverVariable);
    if (config_.empty()) {
        error_ = std::wstring(serverVariable) + L" is not set: run the tests through dev/test";
        return;
    }
    host_ = ConfigField(config_, L"host");
    port_ = ConfigField(config_, L"port");
    user_ = ConfigField(config_, L"user");
    password_ = ConfigField(config_, L"password");
    static int counter = 0;
    name_ = L"ksrt_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(GetTickCount64() % 100000) + L"_" + std::to_wstring(++counter);

    std::ifstream file(std::filesystem::path(FixturePath(L"server_schema_mysql.sql")),
                       std::ios::binary);
    std::stringstream script;
    script << file.rdbuf();
    if (script.str().empty()) {
        error_ = L"schema fixture not found";
        return;
    }
    error_ = RunScript(AdminConnString(), {L"create database " + name_ + L" character set utf8mb4"},
                       nullptr);
    if (!error_.empty()) return;
    error_ = RunScript(ConnString(), SplitStatements(Widen(script.str())), nullptr);
}

TestDatabase::~TestDatabase() {
    if (!name_.empty())
        RunScript(AdminConnString(), {L"drop database if exists " + name_}, nullptr);
}

ServerSettings TestDatabase::Settings() const {
    return ServerSettings{L"mysql", host_, port_, name_, user_, password_};
}

std::wstring ServerAnswers(const wchar_t* serverVariable) {
    const std::wstring config = EnvValue(serverVariable);
    return RunScript(L"DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=" +
                         ConfigField(config, L"host") + L";Port=" + ConfigField(config, L"port") +
                         L";UID=" + ConfigField(config, L"user") + L";PWD=" +
                         ConfigField(config, L"password") + L";OPTION=3;stmt=",
                     {L"select 1"}, nullptr);
}

std::wstring TestDatabase::AdminConnString() const {
    return L"DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=" + host_ + L";Port=" + port_ +
           L";UID=" + user_ + L";PWD=" + password_ + L";OPTION=3;stmt=";
}

std::vector<Row> TestDatabase::Query(const std::wstring& sql) {
    std::vector<Row> rows;
    const std::wstring error = RunScript(ConnString(), SplitStatements(sql), &rows);
    if (!error.empty()) rows.push_back({std::optional<std::wstring>(L"ERROR: " + error)});
    return rows;
}

std::wstring TestDatabase::Exec(const std::wstring& sql) {
    return RunScript(ConnString(), SplitStatements(sql), nullptr);
}

}  // namespace ksr::test
