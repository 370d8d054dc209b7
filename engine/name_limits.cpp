#include "engine/name_limits.h"

#include <algorithm>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

namespace ksr {
namespace {

constexpr wchar_t kColumns[] =
    L"select TABLE_NAME as t,COLUMN_NAME as c,CHARACTER_MAXIMUM_LENGTH as n "
    L"from INFORMATION_SCHEMA.COLUMNS where TABLE_NAME in ('PtpFile','MD5File','PtpFolder') "
    L"and COLUMN_NAME in ('TypePath','FilPath','UsName') and ";
// MySQL's catalogue lists every database; the session's own is the one its statements use.
constexpr wchar_t kOwnTablesMySql[] = L"TABLE_SCHEMA=DATABASE()";
// SQL Server's lists the current database's schemas: the table an unqualified name reaches is
// the one whose qualified name resolves to the same object.
constexpr wchar_t kOwnTablesSqlServer[] =
    L"OBJECT_ID(QUOTENAME(TABLE_SCHEMA)+'.'+QUOTENAME(TABLE_NAME))=OBJECT_ID(TABLE_NAME)";

bool Fits(std::wstring_view text, size_t limit, bool mysql) {
    if (limit == 0) return true;
    size_t length = text.size();
    // A surrogate pair is one character to MySQL.
    if (mysql) {
        length -= static_cast<size_t>(
            std::ranges::count_if(text, [](wchar_t c) { return c >= 0xDC00 && c <= 0xDFFF; }));
    }
    return length <= limit;
}

bool Named(const std::optional<std::wstring>& value, const wchar_t* name) {
    return value && _wcsicmp(value->c_str(), name) == 0;
}

// The tighter of two bounds, 0 standing for none.
void Tighten(size_t& limit, size_t bound) {
    if (bound > 0 && (limit == 0 || bound < limit)) limit = bound;
}

}  // namespace

bool NameLimits::FileFits(std::wstring_view name, std::wstring_view filPath) const {
    return Fits(name, fileName, mysql) && Fits(filPath, filePath, mysql);
}

bool NameLimits::FolderFits(std::wstring_view name) const {
    return Fits(name, folderName, mysql);
}

const wchar_t* NameLimitsStatement(bool mysql) {
    static const std::wstring forMySql = std::wstring(kColumns) + kOwnTablesMySql;
    static const std::wstring forSqlServer = std::wstring(kColumns) + kOwnTablesSqlServer;
    return mysql ? forMySql.c_str() : forSqlServer.c_str();
}

Result<NameLimits> ReadNameLimits(DbSession& db, bool mysql) {
    Result<std::vector<DbRow>> rows = db.QueryRows(NameLimitsStatement(mysql));
    if (!rows) return std::move(rows).error();
    NameLimits limits;
    limits.mysql = mysql;
    for (const DbRow& row : *rows) {
        if (row.size() != 3 || !row[2]) continue;
        // NULL for no character column; -1 for SQL Server's (max).
        const long long bound = std::wcstoll(row[2]->c_str(), nullptr, 10);
        if (bound <= 0) continue;
        const auto size = static_cast<size_t>(bound);
        const bool files = Named(row[0], L"PtpFile") || Named(row[0], L"MD5File");
        if (files && Named(row[1], L"TypePath")) Tighten(limits.fileName, size);
        if (files && Named(row[1], L"FilPath")) Tighten(limits.filePath, size);
        if (Named(row[0], L"PtpFolder") && Named(row[1], L"UsName")) {
            Tighten(limits.folderName, size);
        }
    }
    return limits;
}

}  // namespace ksr
