// Linked into a test-only build of the command line in place of util/thread_name.cpp: each copy
// worker dies of an access violation as it starts, a real crash in a worker thread mid-run.
#include <cstdint>
#include <cwchar>

#include "util/thread_name.h"

namespace ksr {

void NameThisThread(const wchar_t* name) {
    if (std::wcscmp(name, L"ksr copy") != 0) return;
    // An address the compiler can't know, so that the write stays a write and faults.
    volatile std::uintptr_t address = 8;
    *reinterpret_cast<volatile int*>(address) = 1;  // NOLINT(performance-no-int-to-ptr)
}

}  // namespace ksr
