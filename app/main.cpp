#include <windows.h>
#include <commctrl.h>
#include <objbase.h>

#include "app/dialogs.h"
#include "app/main_window.h"
#include "app/message_texts.h"
#include "engine/run_report.h"
#include "util/crash_dump.h"
#include "util/handles.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
    // Run elevated from a download folder, the program must not load a DLL planted beside it or
    // in the current directory: DLLs load from system32 only, and those that are no KnownDLLs
    // (ODBC, CNG, common controls) are delay-loaded, so none loads before this line.
    if (!SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32)) return 1;
    // A crash in any thread leaves a dump beside the run reports.
    const ksr::Result<std::wstring> reports = ksr::DefaultReportDirectory();
    if (reports) (void)ksr::InstallCrashDump(*reports);
    const ksr::unique_com_init com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    ksr::SystemDialogs dialogs;
    ksr::MainWindow window(dialogs);
    if (!window.Create(showCommand)) return 1;
    for (const std::wstring& dump :
         reports ? ksr::TakeNewCrashDumps(*reports) : std::vector<std::wstring>{}) {
        dialogs.Ask(window.hwnd(),
                    ksr::msg::kCrashDumpBefore + dump + ksr::msg::kCrashDumpMiddle + *reports +
                        ksr::msg::kCrashDumpAfter,
                    ksr::kAppTitle, MB_OK | MB_ICONWARNING);
    }

    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        // Tab and the arrow keys move between the controls as in a dialog.
        if (window.hwnd() && IsDialogMessageW(window.hwnd(), &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}
