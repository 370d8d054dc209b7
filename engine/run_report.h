#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "util/result.h"

namespace ksr {

// What one run did, for the report the operator opens after it.
struct RunSummary {
    SYSTEMTIME started{};  // local time
    double seconds = 0;
    uint64_t filesImported = 0;
    uint64_t foldersImported = 0;
    uint64_t bytesImported = 0;
    uint64_t filesAlreadyStored = 0;  // imported by an earlier run
    uint64_t itemsNotImported = 0;
};

struct ReportItem {
    std::wstring path;
    std::wstring kind;
    std::wstring reason;
};

// Writes `<directory>\<start time>.csv`: UTF-8 with a byte-order mark so that Excel opens it,
// the summary first, then one row per item. Keeps the newest `keep` reports of the folder.
// Returns the report's path, or why it could not be written.
[[nodiscard]] Result<std::wstring> WriteRunReport(const std::wstring& directory,
                                                  const RunSummary& summary,
                                                  const std::vector<ReportItem>& items,
                                                  size_t keep = 50);

// %LOCALAPPDATA%\ksrimport\reports, or why the folder is unknown.
[[nodiscard]] Result<std::wstring> DefaultReportDirectory();

// One CSV field, quoted when it holds a comma, a quote or a line break.
std::wstring CsvField(const std::wstring& text);

}  // namespace ksr
