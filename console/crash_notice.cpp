#include "console/crash_notice.h"

#include "console/console_texts.h"
#include "engine/run_report.h"
#include "util/crash_dump.h"

namespace ksr {

void NameCrashDumps(ConsoleOutput& out, const std::optional<std::wstring>& directory) {
    const Result<std::wstring> folder =
        directory ? Result<std::wstring>(*directory) : DefaultReportDirectory();
    if (!folder) return;
    const std::vector<std::wstring> dumps = TakeNewCrashDumps(*folder);
    if (dumps.empty()) return;
    for (const std::wstring& dump : dumps) out.Line(cli::kCrashDump + dump);
    out.Line(cli::kCrashDumpSend + *folder);
}

}  // namespace ksr
