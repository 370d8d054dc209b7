#include "engine/stored_rows.h"

#include <algorithm>

namespace ksr {
namespace {

constexpr wchar_t kFileRowsBack[] =
    L"select Msg_ID,UsName,TypePath,PcSize,FilPath from PtpFile where Msg_ID in (";
constexpr wchar_t kDigestRowsBack[] =
    L"select FilPath,TypePath,PcSize,MD5Hash from MD5File where FilPath in (";

std::wstring InList(const wchar_t* select, size_t rows) {
    std::wstring sql = select;
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

std::vector<std::wstring> RowReadBackStatements(size_t rows) {
    return {InList(kFileRowsBack, rows), InList(kDigestRowsBack, rows)};
}

Status CheckRowsStored(DbSession& db, std::span<const SentFileRows> files) {
    if (files.empty()) return {};
    const std::vector<std::wstring> sql = RowReadBackStatements(files.size());
    std::vector<std::wstring_view> keys;
    keys.reserve(files.size());
    for (const SentFileRows& file : files) keys.push_back(file.msgId);
    Result<std::vector<DbRow>> fileRows = db.QueryRows(sql[0], keys);
    if (!fileRows) return std::move(fileRows).error();
    keys.clear();
    for (const SentFileRows& file : files) keys.push_back(file.filPath);
    Result<std::vector<DbRow>> digestRows = db.QueryRows(sql[1], keys);
    if (!digestRows) return std::move(digestRows).error();
    for (const SentFileRows& file : files) {
        if (!Holds(*fileRows, {file.msgId, file.usName, file.typePath, file.size, file.filPath})) {
            return Altered(L"PtpFile", file.filPath);
        }
        if (!Holds(*digestRows, {file.filPath, file.typePath, file.size, file.md5})) {
            return Altered(L"MD5File", file.filPath);
        }
    }
    return {};
}

}  // namespace ksr
