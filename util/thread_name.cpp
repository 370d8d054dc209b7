#include "util/thread_name.h"

#include <windows.h>

namespace ksr {
namespace {

using SetThreadDescriptionFn = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFn FindSetThreadDescription() {
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (!kernel) return nullptr;
    // Through void*: GetProcAddress's type says nothing of the function's real one.
    void* const found = reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription"));
    return reinterpret_cast<SetThreadDescriptionFn>(found);
}

}  // namespace

void NameThisThread(const wchar_t* name) {
    static const SetThreadDescriptionFn setDescription = FindSetThreadDescription();
    if (setDescription) setDescription(GetCurrentThread(), name);
}

}  // namespace ksr
