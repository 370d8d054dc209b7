#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/database.h"
#include "util/result.h"

namespace ksr {

// A file whose rows the public area may hold already: its store path, size and digest as its
// own rows would carry them.
struct FileToFind {
    std::wstring_view filPath, size, md5;
    // Only PtpFile rows numbered above this are looked at; empty for all of them. A store file this
    // run created can be named only by rows written after it appeared, so a number read before
    // it was created is floor enough.
    std::wstring_view floor;
};

// For each file, whether it is imported already: a PtpFile row of its FilPath and size and an
// MD5File row of its FilPath, size and digest exist (store paths compared as the store's file
// system compares them, letter case aside). Fails with the database's error. Called on the
// thread that writes file rows.
[[nodiscard]] Result<std::vector<bool>> FindImportedFiles(DbSession& db,
                                                          std::span<const FileToFind> files);

// The highest PtpFile number now; "0" when the table is empty or has no such column.
[[nodiscard]] Result<std::wstring> FileRowsHighWater(DbSession& db);

// The look-ups of `rows` files FindImportedFiles sends, and the high-water query.
std::vector<std::wstring> ImportedFileStatements(size_t rows);

}  // namespace ksr
