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
// read-back to the rows added since.
constexpr wchar_t kFilesSinceInsert[] = L"PtpFileID>=LAST_INSERT_ID() and ";
constexpr wchar_t kDigestsSinceInsert[] = L"MD5FileID>=LAST_INSERT_ID() and ";

std::wstring ReadBack(RowTable table, bool mysql, size_t rows) {
    const bool files = table == RowTable::File;
    std::wstring sql = files ? kFileRowsBack : kDigestRowsBack;
    if (mysql) sql += files ? kFilesSinceInsert : kDigestsSinceInsert;
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
    return {ReadBack(RowTable::File, mysql, rows), ReadBack(RowTable::Digest, mysql, rows)};
}

Status CheckRowsStored(DbSession& db, bool mysql, RowTable table,
                       std::span<const SentFileRows> files) {
    if (files.empty()) return {};
    const bool fileRows = table == RowTable::File;
    std::vector<std::wstring_view> keys;
    keys.reserve(files.size());
    for (const SentFileRows& file : files) keys.push_back(fileRows ? file.msgId : file.filPath);
    Result<std::vector<DbRow>> rows = db.QueryRows(ReadBack(table, mysql, files.size()), keys);
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

}  // namespace ksr
