// ksrdrive: plays the administrator at ksrimport.exe, for the demo and the benchmark.
//   ksrdrive <ksrimport.exe> <folder> [--root] [--delete] [--pictures <dir>] [--look]
//            [--timeout <seconds>] [--peak]
// With --pictures it prints "picture <moment>: <left> <top> <width> <height>" (the window's
// frame in screen pixels) at each moment worth a picture and waits until <dir>\<moment>.taken
// exists. With --look it only opens the window for its picture and closes it. The run may take
// --timeout seconds (default 120). With --peak the last line says "peak_working_set_mib=<MiB>",
// the program's peak working set just before its window was closed.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "app/message_texts.h"
#include "tests/e2e/operator.h"

namespace {

void Print(const std::wstring& line) {
    const std::wstring text = line + L"\n";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        Print(
            L"usage: ksrdrive <ksrimport.exe> <folder> [--root] [--delete] [--pictures <dir>] "
            L"[--look] [--timeout <seconds>] [--peak]");
        return 2;
    }
    ksr::e2e::OperatorScript script;
    script.exe = argv[1];
    script.folder = argv[2];
    std::wstring pictures;
    bool peak = false;
    for (int i = 3; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--root") script.rootMode = true;
        if (arg == L"--delete") script.deleteSources = true;
        if (arg == L"--look") script.lookOnly = true;
        if (arg == L"--peak") peak = true;
        if (arg == L"--pictures" && i + 1 < argc) pictures = argv[++i];
        if (arg == L"--timeout" && i + 1 < argc) script.timeoutSeconds = _wtof(argv[++i]);
    }
    // The frame is wanted in the screen's own pixels, whatever the DPI.
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    script.say = [](const std::wstring& line) { Print(L"operator> " + line); };
    if (!pictures.empty()) {
        script.picture = [&](HWND form, const std::wstring& moment) {
            RECT r{};
            GetWindowRect(form, &r);
            wchar_t where[96] = {};
            swprintf(where, 96, L": %ld %ld %ld %ld", r.left, r.top, r.right - r.left,
                     r.bottom - r.top);
            Print(L"operator> picture " + moment + where);
            const std::wstring taken = pictures + L"\\" + moment + L".taken";
            for (int i = 0; i < 600 && GetFileAttributesW(taken.c_str()) == INVALID_FILE_ATTRIBUTES;
                 ++i) {
                Sleep(50);
            }
        };
    }
    const ksr::e2e::OperatorResult result = ksr::e2e::PlayOperator(script);
    if (!result.ok) return 1;
    if (peak) {
        wchar_t line[64] = {};
        swprintf(line, 64, L"peak_working_set_mib=%.1f", result.peakWorkingSet / 1048576.0);
        Print(line);
    }
    if (script.lookOnly) return 0;
    const bool succeeded =
        !result.messages.empty() && result.messages.back() == ksr::msg::kSucceeded;
    return succeeded ? 0 : 3;
}
