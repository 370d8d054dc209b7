// Runs the real import engine headless, as the window does, and reports its time and memory.
//   ksrbench [--delete] <folder>
// --delete deletes each source once it is imported, as when the operator confirms deletion.
// Prints: seconds=<importfile wall time> peak_mib=<peak working set> lines=<activity lines>
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cwchar>

#include "app/message_texts.h"
#include "engine/import_state.h"
#include "engine/importer.h"
#include "tests/support/fake_window.h"

int wmain(int argc, wchar_t** argv) {
    int arg = 1;
    const bool deleteSources = arg < argc && std::wcscmp(argv[arg], L"--delete") == 0;
    if (deleteSources) ++arg;
    if (arg + 1 != argc) return 2;
    ksr::test::FakeWindow window;
    window.text1 = argv[arg];
    ksr::ImportState state;
    state.DeleteAfterImport = deleteSources;
    ksr::Importer importer(state, window);
    const auto start = std::chrono::steady_clock::now();
    importer.importfile();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    // Judged by the words the operator would see.
    const bool ok = !window.boxes.empty() && window.boxes.back().text == ksr::msg::kSucceeded;
    std::printf("seconds=%.3f peak_mib=%.1f lines=%d labels=%d ok=%d\n", seconds,
                static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0,
                static_cast<int>(window.list1.size()), static_cast<int>(window.progress.size()),
                ok ? 1 : 0);
    return ok ? 0 : 1;
}
