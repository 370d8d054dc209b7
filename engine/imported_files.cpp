#include "engine/imported_files.h"

#include <algorithm>
#include <cwchar>

#include "engine/file_rows.h"
#include "util/paths.h"

namespace ksr {
namespace {

// FilPath carries no index on the server; the primary key narrows the files this run created to
// the rows added since (see FileToFind::floor).
constexpr wchar_t kFileRows[] =
    L"select FilPath,PcSize from PtpFile where PtpFileID>? and FilPath in (";
constexpr wchar_t kFileRowsWhole[] = L"select FilPath,PcSize from PtpFile where FilPath in (";
constexpr wchar_t kDigestRows[] = L"select FilPath,PcSize,MD5Hash from MD5File where FilPath in (";
constexpr wchar_t kHighWater[] = L"select max(PtpFileID) as c from PtpFile";

std::wstring InList(const wchar_t* select, size_t rows) {
    std::wstring sql = select;
    for (size_t i = 0; i < rows; ++i) sql += i > 0 ? L",?" : L"?";
    return sql + L')';
}

// The rows of `select` whose FilPath is one of `files`' (from `floor` on, when given).
Result<std::vector<DbRow>> RowsNaming(DbSession& db, const wchar_t* select,
                                      std::span<const FileToFind* const> files,
                                      std::wstring_view floor) {
    std::vector<DbRow> all;
    std::vector<std::wstring_view> params;
    for (size_t at = 0; at < files.size();) {
        const size_t rows = FileRowChunk(files.size() - at);
        params.clear();
        if (!floor.empty()) params.push_back(floor);
        for (size_t i = at; i < at + rows; ++i) params.push_back(files[i]->filPath);
        Result<std::vector<DbRow>> got = db.QueryRows(InList(select, rows), params);
        if (!got && got.error().IsUnstorableValue()) got = std::vector<DbRow>();
        if (!got) return std::move(got).error();
        std::move(got->begin(), got->end(), std::back_inserter(all));
        at += rows;
    }
    return all;
}

bool Names(const DbRow& row, const FileToFind& file, bool withDigest) {
    if (row.size() != (withDigest ? 3u : 2u) || !row[0] || !row[1]) return false;
    if (!EqualsIgnoreCase(*row[0], file.filPath) || *row[1] != file.size) return false;
    return !withDigest || (row[2] && EqualsIgnoreCase(*row[2], file.md5));
}

// The PtpFile rows naming `files`: those created by this run from their floor, the rest whole.
Result<std::vector<DbRow>> FileRowsNaming(DbSession& db, std::span<const FileToFind> files) {
    std::vector<const FileToFind*> narrowed, whole;
    long long lowest = -1;
    for (const FileToFind& file : files) {
        const long long floor =
            file.floor.empty() ? -1 : std::wcstoll(std::wstring(file.floor).c_str(), nullptr, 10);
        (floor >= 0 ? narrowed : whole).push_back(&file);
        // The lowest floor serves them all.
        if (floor >= 0 && (lowest < 0 || floor < lowest)) lowest = floor;
    }
    const std::wstring floor = std::to_wstring(lowest);
    Result<std::vector<DbRow>> rows = RowsNaming(db, kFileRowsWhole, whole, {});
    if (!rows || narrowed.empty()) return rows;
    Result<std::vector<DbRow>> since = RowsNaming(db, kFileRows, narrowed, floor);
    // A table without the column is read whole.
    if (!since && since.error().sqlstate == L"42S22") {
        since = RowsNaming(db, kFileRowsWhole, narrowed, {});
    }
    if (!since) return since;
    std::move(since->begin(), since->end(), std::back_inserter(*rows));
    return rows;
}

}  // namespace

std::vector<std::wstring> ImportedFileStatements(size_t rows) {
    return {InList(kFileRows, rows), InList(kFileRowsWhole, rows), InList(kDigestRows, rows),
            kHighWater};
}

Result<std::vector<bool>> FindImportedFiles(DbSession& db, std::span<const FileToFind> files) {
    std::vector<bool> found(files.size(), false);
    if (files.empty()) return found;
    Result<std::vector<DbRow>> fileRows = FileRowsNaming(db, files);
    if (!fileRows) return std::move(fileRows).error();
    // Only files with a PtpFile row need their digest row: in a first import, none.
    std::vector<const FileToFind*> named;
    std::vector<size_t> at;
    for (size_t i = 0; i < files.size(); ++i) {
        if (std::ranges::any_of(*fileRows,
                                [&](const DbRow& row) { return Names(row, files[i], false); })) {
            named.push_back(&files[i]);
            at.push_back(i);
        }
    }
    if (named.empty()) return found;
    Result<std::vector<DbRow>> digestRows = RowsNaming(db, kDigestRows, named, {});
    if (!digestRows) return std::move(digestRows).error();
    for (size_t i = 0; i < named.size(); ++i) {
        found[at[i]] = std::ranges::any_of(
            *digestRows, [&](const DbRow& row) { return Names(row, *named[i], true); });
    }
    return found;
}

Result<std::wstring> FileRowsHighWater(DbSession& db) {
    Result<std::optional<std::wstring>> high = db.QueryValue(kHighWater, L"c");
    if (!high) {
        if (high.error().sqlstate == L"42S22") return std::wstring(L"0");
        return std::move(high).error();
    }
    if (!*high || (*high)->empty()) return std::wstring(L"0");
    return **high;
}

}  // namespace ksr
