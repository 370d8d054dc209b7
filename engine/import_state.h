#pragma once

#include <cstdint>
#include <string>

namespace ksr {

// The run state the main window keeps for the life of the program.
struct ImportState {
    std::wstring KSR_CONSOLE;  // store root, "\" separators
    std::wstring DB_TYPE;      // exactly "mysql" means MySQL
    std::wstring InstallDir;
    std::wstring IniPath;
    std::wstring ConnString;
    uint64_t CopiedBytes = 0;
    // Decimal text, empty when no size could be taken; the run reads it once, after its survey.
    std::wstring SourceBytesTotal;
    bool DeleteAfterImport = false;
    std::wstring RootFolderName;
};

}  // namespace ksr
