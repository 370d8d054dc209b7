#include "server/lost_session.h"

#include <windows.h>

#include <algorithm>

namespace ksr {
namespace {

// KILL takes no parameter on SQL Server: the id, decimal digits only, goes into the text.
constexpr wchar_t kKillMySql[] = L"KILL CONNECTION ";
constexpr wchar_t kKillSqlServer[] = L"KILL ";
// The lost session, by its id and its tag (see DbSession::LostSessionTag).
constexpr wchar_t kListedMySql[] =
    L"select count(*) as c from information_schema.PROCESSLIST where ID=? and HOST=?";
constexpr wchar_t kListedSqlServer[] =
    L"select count(*) as c from sys.dm_exec_sessions "
    L"where session_id=? and convert(varchar(30),login_time,126)=?";
// The answer to KILL of a session that is gone already: MySQL's "Unknown thread id", SQL
// Server's "not an active process ID".
constexpr long kNoSuchThreadMySql = 1094;
constexpr long kNoSuchSessionSqlServer = 6106;
constexpr DWORD kPollMs = 100;

bool IsSessionId(std::wstring_view text) {
    return !text.empty() && text.size() <= 20 &&
           std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; });
}

std::wstring KillStatement(bool mysql, std::wstring_view id) {
    return (mysql ? kKillMySql : kKillSqlServer) + std::wstring(id);
}

}  // namespace

std::vector<std::wstring> SessionEndStatements(bool mysql, std::wstring_view id) {
    return {KillStatement(mysql, id), mysql ? kListedMySql : kListedSqlServer};
}

Status EndLostSession(DbSession& db) {
    const std::wstring id = db.LostSessionId();
    if (!IsSessionId(id)) {
        return DatabaseError(L"HY000", L"The lost connection's session id is unknown.");
    }
    if (Status opened = db.Open(); !opened) return opened;
    // No two live sessions share an id (SQL Server hands a freed one out again): when the
    // connection in hand has it, the lost session is gone.
    if (db.SessionId() == id) return {};
    const bool mysql = db.IsMySql();
    const std::wstring_view key[] = {id, db.LostSessionTag()};
    const auto listed = [&]() -> Result<bool> {
        Result<std::optional<std::wstring>> count =
            db.QueryValue(mysql ? kListedMySql : kListedSqlServer, L"c", key);
        if (!count) return std::move(count).error();
        return *count != L"0";
    };
    // Only the lost session itself is killed: once it is gone, another client's session may
    // carry its id.
    Result<bool> running = listed();
    if (!running) return std::move(running).error();
    if (!*running) return {};
    if (Status killed = db.Execute(KillStatement(mysql, id)); !killed) {
        const long gone = mysql ? kNoSuchThreadMySql : kNoSuchSessionSqlServer;
        if (killed.error().nativeError != gone) return killed;
    }
    // KILL marks the session; it ends once its thread has rolled back what it held, or let a
    // commit that had reached the server finish.
    const ULONGLONG end = GetTickCount64() + 1000ULL * db.StatementTimeout();
    for (;;) {
        running = listed();
        if (!running) return std::move(running).error();
        if (!*running) return {};
        if (GetTickCount64() >= end) {
            return DatabaseError(L"HY000", L"The lost connection's session " + id +
                                               L" was still running after it was ended.");
        }
        Sleep(kPollMs);
    }
}

}  // namespace ksr
