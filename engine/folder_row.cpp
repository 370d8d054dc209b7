#include "engine/folder_row.h"

#include <algorithm>
#include <cwchar>

#include "util/paths.h"

namespace ksr {
namespace {

constexpr wchar_t kInsertFolder[] =
    L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
    L"values(?,?,?,1,'1','admin')";
// LAST_INSERT_ID() belongs to the connection: no other writer's insert changes it.
constexpr wchar_t kInsertedIdMySql[] = L"select LAST_INSERT_ID() as c";
// SCOPE_IDENTITY() answers only within the batch that inserted, so both go in one statement.
// (An OUTPUT clause would fail on a table that has triggers.)
constexpr wchar_t kInsertedIdSqlServer[] = L"; select CONVERT(int,SCOPE_IDENTITY()) as c";

constexpr wchar_t kFolderRow[] = L"Select UsName,ParentID from PtpFolder where PtpFolderID=?";
constexpr FolderIdQueries kFallbackMySql = {
    L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=?", kFolderRow,
    L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=? and UsName=? and "
    L"ParentID=?"};
constexpr FolderIdQueries kFallbackSqlServer = {
    L"Select max(CONVERT(int,PtpFolderID)) as c from PtpFolder where MyID=?", kFolderRow,
    L"Select max(CONVERT(int,PtpFolderID)) as c from PtpFolder where MyID=? and UsName=? and "
    L"ParentID=?"};

// PtpFolderID, UsName and ParentID carry no index on the server; the primary key narrows the
// search when the caller knows a floor (see FolderRegistrar).
constexpr wchar_t kFolderRows[] =
    L"select PtpFolderID,UsName from PtpFolder where PtpFolderID>? and MyID=? and ParentID=? "
    L"and To_Type=1";

// A folder id as a number; -1 when it is none.
long long FolderIdNumber(const std::optional<std::wstring>& id) {
    if (!id || id->empty() || id->size() > 18 ||
        !std::all_of(id->begin(), id->end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; })) {
        return -1;
    }
    return std::wcstoll(id->c_str(), nullptr, 10);
}

const std::wstring& InsertFolderSqlServer() {
    static const std::wstring sql = std::wstring(kInsertFolder) + kInsertedIdSqlServer;
    return sql;
}

}  // namespace

std::vector<std::wstring> FolderInsertStatements(bool mysql) {
    if (mysql) return {kInsertFolder, kInsertedIdMySql};
    return {InsertFolderSqlServer()};
}

const wchar_t* FolderRowQuery() {
    return kFolderRows;
}

Result<std::optional<std::wstring>> FindFolderRow(DbSession& db, std::wstring_view name,
                                                  std::wstring_view ParentID,
                                                  std::wstring_view MyID, std::wstring_view floor) {
    const std::wstring_view params[] = {floor, MyID, ParentID};
    Result<std::vector<DbRow>> rows = db.QueryRows(kFolderRows, params);
    if (!rows && rows.error().IsUnstorableValue()) return std::optional<std::wstring>();
    if (!rows) return std::move(rows).error();
    // The server's collation may take other names for equal (or these for different); the
    // store's file system has the last word.
    long long oldest = -1;
    for (const DbRow& row : *rows) {
        const long long id = row.size() == 2 ? FolderIdNumber(row[0]) : -1;
        if (id < 0 || !row[1] || !EqualsIgnoreCase(*row[1], name)) continue;
        if (oldest < 0 || id < oldest) oldest = id;
    }
    if (oldest < 0) return std::optional<std::wstring>();
    return std::optional<std::wstring>(std::to_wstring(oldest));
}

const FolderIdQueries& FolderIdFallback(bool mysql) {
    return mysql ? kFallbackMySql : kFallbackSqlServer;
}

Result<std::optional<std::wstring>> InsertFolderRow(DbSession& db, bool mysql,
                                                    std::wstring_view name,
                                                    std::wstring_view ParentID,
                                                    std::wstring_view MyID) {
    const std::wstring_view values[] = {MyID, name, ParentID};
    if (mysql) {
        if (const Status inserted = db.Execute(kInsertFolder, values); !inserted) {
            return inserted.error();
        }
    }
    Result<std::optional<std::wstring>> id =
        mysql ? db.QueryValue(kInsertedIdMySql, L"c")
              : db.QueryValue(InsertFolderSqlServer(), L"c", values);
    if (!id) return std::move(id).error();
    // Zero is what LAST_INSERT_ID() says when the insert generated no id.
    const std::optional<std::wstring>& told = *id;
    if (!told || told->empty() || *told == L"0") return std::optional<std::wstring>();
    return told;
}

}  // namespace ksr
