#pragma once

#include <cstddef>
#include <string_view>

#include "server/database.h"
#include "util/result.h"

namespace ksr {

// The longest names and paths the server's own columns take, as its catalogue gives them; 0
// where it gives no bound. A value longer than its column would be refused by a strict server
// and stored cut short by a lax one, so such an item is not imported.
struct NameLimits {
    size_t fileName = 0;    // PtpFile.TypePath and MD5File.TypePath
    size_t filePath = 0;    // PtpFile.FilPath and MD5File.FilPath
    size_t folderName = 0;  // PtpFolder.UsName
    // MySQL counts characters; SQL Server's nvarchar counts UTF-16 units.
    bool mysql = true;

    [[nodiscard]] bool FileFits(std::wstring_view name, std::wstring_view filPath) const;
    [[nodiscard]] bool FolderFits(std::wstring_view name) const;
};

// The catalogue query the limits are read with, in the server's dialect.
[[nodiscard]] const wchar_t* NameLimitsStatement(bool mysql);

// Reads the limits of the tables the run writes names and paths into. Fails with the database's
// error.
[[nodiscard]] Result<NameLimits> ReadNameLimits(DbSession& db, bool mysql);

}  // namespace ksr
