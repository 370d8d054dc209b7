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

// Reads the files' rows back inside the open transaction (one query per table) and fails,
// naming the first file, when a row is missing or holds a value other than the one sent. A
// server may store a value altered without a word: SQL Server turns a character its varchar
// column's code page lacks into "?". Called on the thread that writes the rows.
[[nodiscard]] Status CheckRowsStored(DbSession& db, std::span<const SentFileRows> files);

// The read-back queries of a batch of `rows` files, as CheckRowsStored sends them.
std::vector<std::wstring> RowReadBackStatements(size_t rows);

}  // namespace ksr
