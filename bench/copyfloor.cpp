// The benchmark's platform floor: copies a folder tree the least way a Windows program can
// (see copy_tree.h) and reports the time. The benchmark times the import engine against it
// under the same Wine.
//   copyfloor [--move] <copy threads> <source folder> <target folder>
// With --move, each source is deleted once its copy is flushed to disk.
// Prints: seconds=<wall time> files=<copied> bytes=<copied> failed=<files and folders not copied>
#include <chrono>
#include <cstdio>
#include <cwchar>
#include <string>

#include "bench/copy_tree.h"

int wmain(int argc, wchar_t** argv) {
    const bool move = argc > 1 && std::wcscmp(argv[1], L"--move") == 0;
    if (move) {
        --argc;
        ++argv;
    }
    if (argc != 4) return 2;
    const int threads = _wtoi(argv[1]);
    if (threads < 1 || threads > 64) return 2;
    const auto start = std::chrono::steady_clock::now();
    const ksr::bench::CopyTally tally = ksr::bench::CopyTree(argv[2], argv[3], threads, move);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("seconds=%.3f files=%llu bytes=%llu failed=%llu\n", seconds,
                static_cast<unsigned long long>(tally.files),
                static_cast<unsigned long long>(tally.bytes),
                static_cast<unsigned long long>(tally.failed));
    return tally.failed == 0 ? 0 : 1;
}
