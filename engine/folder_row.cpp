#include "engine/folder_row.h"

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

const std::wstring& InsertFolderSqlServer() {
    static const std::wstring sql = std::wstring(kInsertFolder) + kInsertedIdSqlServer;
    return sql;
}

}  // namespace

std::vector<std::wstring> FolderInsertStatements(bool mysql) {
    if (mysql) return {kInsertFolder, kInsertedIdMySql};
    return {InsertFolderSqlServer()};
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
