#include <windows.h>
#include <objbase.h>

#include <string>
#include <vector>

#include "console/console_output.h"
#include "console/console_run.h"
#include "console/exit_code.h"
#include "engine/run_report.h"
#include "util/crash_dump.h"
#include "util/handles.h"

namespace {

// Without arguments the operator wants the window: the program beside this one opens it.
bool OpenWindowProgram() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return false;
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);
    }
    const size_t dot = path.find_last_of(L'.');
    if (dot == std::wstring::npos || path.find(L'\\', dot) != std::wstring::npos) return false;
    path.replace(dot, std::wstring::npos, L".exe");
    std::wstring command = L"\"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process)) {
        return false;
    }
    const ksr::unique_handle thread(process.hThread), child(process.hProcess);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // Run elevated from a download folder, the program must not load a DLL planted beside it or
    // in the current directory (see app/main.cpp).
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return ksr::kExitInternal;
    // A crash in any thread leaves a dump beside the run reports; the next run names it.
    if (const ksr::Result<std::wstring> reports = ksr::DefaultReportDirectory()) {
        (void)ksr::InstallCrashDump(*reports);
    }
    const std::vector<std::wstring> args(argv + 1, argv + argc);
    if (args.empty()) return OpenWindowProgram() ? ksr::kExitImported : ksr::kExitInternal;
    const ksr::unique_com_init com(COINIT_MULTITHREADED);
    ksr::ConsoleOutput out(GetStdHandle(STD_OUTPUT_HANDLE));
    return ksr::RunCommandLine(args, out);
}
