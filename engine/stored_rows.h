#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/database.h"
#include "util/result.h"

namespace ksr {

// The values one file's PtpFile and MD5File rows were sent with.
struct SentFileRows {
    std::wstring_view msgId, usName, typePath, size, filPath, md5;
};

enum class RowTable { File, Digest };

// Reads back the rows of `table` that the files' last insert statement wrote, inside the open
// transaction, and fails, naming the first file, when a row is missing or holds a value other
// than the one sent. A server may store a value altered without a word: SQL Server turns a
// character its varchar column's code page lacks into "?". Called right after that insert, on
// the thread that writes the rows.
[[nodiscard]] Status CheckRowsStored(DbSession& db, bool mysql, RowTable table,
                                     std::span<const SentFileRows> files);

// The read-back queries of a batch of `rows` files, PtpFile's then MD5File's, as
// CheckRowsStored sends them; on MySQL also the first id's query and the narrowed forms.
std::vector<std::wstring> RowReadBackStatements(size_t rows, bool mysql = false);

}  // namespace ksr
