// Prints every statement text the engine can send to a SQL Server, for check_tsql.js to parse
// as T-SQL: one statement a line, as "<dialect>\t<set>\t<text>". Lines of dialect "sqlserver"
// must pass the check; lines of dialect "mysql" are texts sent to MySQL and MariaDB only, which
// the check must refuse, so that a checker grown blind to the other dialect shows.
//
// Statements sent only to MySQL and MariaDB and left out of the "sqlserver" lines: the
// LAST_INSERT_ID() query and the CAST(... AS SIGNED) fallbacks of the folder id, the data
// directory query, the name limits of the session's own database, the session id from
// information_schema, MySQL's KILL CONNECTION and KILL QUERY, and the driver warnings query the
// session sends after each statement on a MySQL or MariaDB driver (server/database.cpp).
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "engine/file_rows.h"
#include "engine/folder_row.h"
#include "engine/imported_files.h"
#include "engine/name_limits.h"
#include "engine/run_statements.h"
#include "engine/stored_rows.h"
#include "server/database.h"
#include "server/lost_session.h"
#include "server/named_lock.h"
#include "support/temp_dir.h"

namespace ksr {
namespace {

struct StatementSet {
    std::string name;
    std::vector<std::wstring> texts;
};

// Every statement set the SQL Server path sends. A new set of statements goes here.
std::vector<StatementSet> SqlServerStatements() {
    std::vector<StatementSet> sets;
    sets.push_back({"folder insert and its id", FolderInsertStatements(false)});
    const FolderIdQueries& fallback = FolderIdFallback(false);
    sets.push_back({"folder id fallback",
                    {fallback.ownersNewest, fallback.nameAndParent, fallback.newestOfName}});
    for (const size_t rows : kFileRowChunks) {
        const std::string count = std::to_string(rows);
        sets.push_back({"file rows x" + count, FileInsertStatements(rows)});
        sets.push_back({"rows read back x" + count, RowReadBackStatements(rows)});
        sets.push_back({"imported files x" + count, ImportedFileStatements(rows)});
    }
    sets.push_back({"rows landed", {FileLandedStatement()}});
    sets.push_back({"folder row found", {FolderRowQuery()}});
    sets.push_back({"database lock", NamedLockStatements(false)});
    sets.push_back({"session id", {DbSession::SessionIdStatement(false)}});
    sets.push_back({"lost session ended", SessionEndStatements(false, L"55")});
    sets.push_back({"store root", {kStoreRootQuery}});
    sets.push_back({"version counters", {kBumpVersions}});
    sets.push_back({"name limits", {NameLimitsStatement(false)}});
    return sets;
}

// Texts the engine sends to MySQL and MariaDB only.
std::vector<StatementSet> MySqlOnlyStatements() {
    const FolderIdQueries& fallback = FolderIdFallback(true);
    return {{"folder id told", {FolderInsertStatements(true).back()}},
            {"folder id fallback", {fallback.ownersNewest, fallback.newestOfName}},
            {"data directory", {kDataDirMySql}},
            {"database lock", NamedLockStatements(true)},
            {"name limits", {NameLimitsStatement(true)}},
            {"session id", {DbSession::SessionIdStatement(true)}}};
}

// False when a text could not go on one line of its own.
bool Print(const char* dialect, const std::vector<StatementSet>& sets) {
    for (const StatementSet& set : sets) {
        for (const std::wstring& text : set.texts) {
            if (text.find_first_of(L"\t\r\n") != std::wstring::npos) {
                std::fprintf(stderr, "%s: a statement holds a tab or a line break\n",
                             set.name.c_str());
                return false;
            }
            std::printf("%s\t%s\t%s\n", dialect, set.name.c_str(), test::Utf8(text).c_str());
        }
    }
    return true;
}

}  // namespace
}  // namespace ksr

int wmain() {
    const bool printed = ksr::Print("sqlserver", ksr::SqlServerStatements()) &&
                         ksr::Print("mysql", ksr::MySqlOnlyStatements());
    return printed && std::fflush(stdout) == 0 ? 0 : 1;
}
