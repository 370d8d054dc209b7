#include "engine/stored_rows.h"

#include <algorithm>

namespace ksr {
namespace {

constexpr wchar_t kFileRowsBack[] =
    L"select Msg_ID,UsName,TypePath,PcSize,FilPath from PtpFile where ";
constexpr wchar_t kDigestRowsBack[] = L"select FilPath,TypePath,PcSize,MD5Hash from MD5File where ";
// Neither Msg_ID nor FilPath has an index on the server, and a server's tables may hold
// millions of rows. On MySQL the insert just made numbered its rows from LAST_INSERT_ID() on
// (an id of this connection, untouched by other writers), so the primary key narrows each
// read-back to the rows added since. The id is read first and bound: MySQL 8 does not plan
// LAST_INSERT_ID() inside a condition as a constant.
constexpr wchar_t kInsertedFrom[] = L"select LAST_INSERT_ID() as c";
constexpr wchar_t kFilesSince[] = L"PtpFileID>=? and ";
constexpr wchar_t kDigestsSince[] = L"MD5FileID>=? and ";

std::wstring ReadBack(RowTable table, bool narrowed, size_t rows) {
    const bool files = table == RowTable::File;
    std::wstring sql = files ? kFileRowsBack : kDigestRowsBack;
    if (narrowed) sql += files ? kFilesSince : kDigestsSince;
    sql += files ? L"Msg_ID in (" : L"FilPath in (";
    for (size_t i = 0; i < rows; ++i) sql += i > 0 ? L",?" : L"?";
    return sql + L')';
}

bool Holds(const std::vector<DbRow>& rows, std::initializer_list<std::wstring_view> sent) {
    return std::ranges::any_of(rows, [&](const DbRow& row) {
        return row.size() == sent.size() &&
               std::equal(row.begin(), row.end(), sent.begin(),
                          [](const std::optional<std::wstring>& stored, std::wstring_view value) {
                              return stored && *stored == value;
                          });
    });
}

Error Altered(const wchar_t* table, std::wstring_view filPath) {
    Error error = DatabaseError(L"22000", std::wstring(L"The server stored this file's ") + table +
                                              L" row altered or not at all.");
    error.path = filPath;
    return error;
}

}  // namespace

std::vector<std::wstring> RowReadBackStatements(size_t rows, bool mysql) {
    std::vector<std::wstring> sql{ReadBack(RowTable::File, false, rows),
                                  ReadBack(RowTable::Digest, false, rows)};
    if (mysql) {
        sql.insert(sql.end(), {kInsertedFrom, ReadBack(RowTable::File, true, rows),
                               ReadBack(RowTable::Digest, true, rows)});
    }
    return sql;
}

namespace {

// Reads the files' rows of `table` back, from the id `since` on when it is given.
Status CheckRows(DbSession& db, RowTable table, std::span<const SentFileRows> files,
                 std::wstring_view since) {
    const bool fileRows = table == RowTable::File;
    std::vector<std::wstring_view> keys;
    keys.reserve(files.size() + 1);
    if (!since.empty()) keys.push_back(since);
    for (const SentFileRows& file : files) keys.push_back(fileRows ? file.msgId : file.filPath);
    Result<std::vector<DbRow>> rows =
        db.QueryRows(ReadBack(table, !since.empty(), files.size()), keys);
    if (!rows) return std::move(rows).error();
    for (const SentFileRows& file : files) {
        if (fileRows &&
            !Holds(*rows, {file.msgId, file.usName, file.typePath, file.size, file.filPath})) {
            return Altered(L"PtpFile", file.filPath);
        }
        if (!fileRows && !Holds(*rows, {file.filPath, file.typePath, file.size, file.md5})) {
            return Altered(L"MD5File", file.filPath);
        }
    }
    return {};
}

}  // namespace

Status CheckRowsStored(DbSession& db, bool mysql, RowTable table,
                       std::span<const SentFileRows> files) {
    if (files.empty()) return {};
    std::wstring since;
    if (mysql) {
        Result<std::optional<std::wstring>> first = db.QueryValue(kInsertedFrom, L"c");
        if (!first) return std::move(first).error();
        // Zero: the insert generated no id.
        if (*first && **first != L"0") since = **first;
    }
    Status checked = CheckRows(db, table, files, since);
    // The bound holds only where the server numbered the rows itself; a table whose ids a
    // trigger sets, or that has no such column, is read whole.
    // Only a row missed or a column the table lacks: any other error may have ended the
    // transaction (a deadlock rolls it back), and must fail the chunk.
    if (!checked && !since.empty() &&
        (checked.error().sqlstate == L"22000" || checked.error().sqlstate == L"42S22")) {
        checked = CheckRows(db, table, files, {});
    }
    return checked;
}

}  // namespace ksr
