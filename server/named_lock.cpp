#include "server/named_lock.h"

#include <utility>

namespace ksr {
namespace {

// GET_LOCK answers 1 when taken, 0 when the wait ran out, NULL on an error.
constexpr wchar_t kTakeMySql[] = L"select GET_LOCK(?, ?) as c";
constexpr wchar_t kReleaseMySql[] = L"select RELEASE_LOCK(?) as c";
// sp_getapplock answers 0 or 1 when granted, a negative number otherwise; held by the session,
// not a transaction, so that it spans the transaction it guards.
constexpr wchar_t kTakeSqlServer[] =
    L"declare @r int; exec @r = sp_getapplock @Resource = ?, @LockMode = 'Exclusive', "
    L"@LockOwner = 'Session', @LockTimeout = ?; select @r as c";
constexpr wchar_t kReleaseSqlServer[] =
    L"exec sp_releaseapplock @Resource = ?, @LockOwner = 'Session'";

// The native error of a lock another session held too long: none the servers use.
constexpr long kLockBusy = -7001;

}  // namespace

bool IsLockBusy(const Error& error) {
    return error.IsDatabase() && error.sqlstate == L"HY000" && error.nativeError == kLockBusy;
}

std::vector<std::wstring> NamedLockStatements(bool mysql) {
    if (mysql) return {kTakeMySql, kReleaseMySql};
    return {kTakeSqlServer, kReleaseSqlServer};
}

Status NamedLock::Take(DbSession& db, std::wstring_view name, unsigned seconds) {
    Release();
    if (Status opened = db.Open(); !opened) return opened;
    const bool mysql = db.IsMySql();
    // SQL Server waits in milliseconds.
    const std::wstring wait = std::to_wstring(mysql ? seconds : seconds * 1000);
    const std::wstring_view params[] = {name, wait};
    Result<std::optional<std::wstring>> answer =
        db.QueryValue(mysql ? kTakeMySql : kTakeSqlServer, L"c", params);
    if (!answer) return std::move(answer).error();
    const bool granted = *answer && (**answer == L"1" || (!mysql && **answer == L"0"));
    if (!granted) {
        return DatabaseError(
            L"HY000",
            L"Another import held the database lock \"" + std::wstring(name) + L"\" too long.",
            kLockBusy);
    }
    db_ = &db;
    name_ = name;
    return {};
}

void NamedLock::Release() {
    if (!db_) return;
    DbSession& db = *std::exchange(db_, nullptr);
    // A session lost since has no lock left to give back; reopening it would take none either.
    if (!db.IsOpen()) return;
    const std::wstring_view params[] = {name_};
    if (db.IsMySql()) {
        (void)db.QueryValue(kReleaseMySql, L"c", params);
    } else {
        (void)db.Execute(kReleaseSqlServer, params);
    }
}

}  // namespace ksr
