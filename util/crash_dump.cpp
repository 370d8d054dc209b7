#include "util/crash_dump.h"

#include <windows.h>
#include <dbghelp.h>

#include <algorithm>
#include <cwchar>

#include "util/dir_listing.h"
#include "util/handles.h"
#include "util/paths.h"
#include "util/thread_name.h"

namespace ksr {
namespace {

using MiniDumpWriteDumpFn = BOOL(WINAPI*)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                          PMINIDUMP_EXCEPTION_INFORMATION,
                                          PMINIDUMP_USER_STREAM_INFORMATION,
                                          PMINIDUMP_CALLBACK_INFORMATION);

constexpr wchar_t kDumpPrefix[] = L"ksrimport-crash-";
constexpr wchar_t kDumpSuffix[] = L".dmp";
// Written under this name and renamed when complete: a dump cut short is never named.
constexpr wchar_t kPartSuffix[] = L".dmp.part";
// Holds the name of the newest dump a start has named.
constexpr wchar_t kNamedMarker[] = L"crash-dumps-named";
// How long the crashed thread waits for its dump; the writer may block on a lock it holds.
constexpr DWORD kWriteTimeoutMs = 60 * 1000;
constexpr size_t kPathRoom = size_t{32} * 1024;

// Everything the crash path uses, prepared at installation in static storage. The crashed
// thread only hands its exception to a writer thread started then and waits, so nothing runs on
// a stack that may be exhausted, and the crashed thread allocates nothing and takes no lock.
struct CrashState {
    MiniDumpWriteDumpFn writeDump = nullptr;
    HANDLE crashed = nullptr;  // set by the crashed thread
    HANDLE written = nullptr;  // set by the writer when done, dump or not
    EXCEPTION_POINTERS* exception = nullptr;
    DWORD threadId = 0;
    LONG taken = 0;  // the first thread to crash is dumped; any other waits for the end
    size_t folderLength = 0;
    wchar_t part[kPathRoom] = {};  // the folder, "\", then the dump's name once known
    wchar_t done[kPathRoom] = {};
};

CrashState g_crash;

// Writes `value` as exactly `digits` decimal digits at `out`; returns the end.
wchar_t* PutDigits(wchar_t* out, unsigned long value, int digits) {
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = static_cast<wchar_t>(L'0' + value % 10);
        value /= 10;
    }
    return out + digits;
}

wchar_t* PutText(wchar_t* out, const wchar_t* text) {
    while (*text) *out++ = *text++;
    return out;
}

// Makes the folder and the ones above it that are missing, cutting the path in place.
void MakeFolder(wchar_t* path, size_t length) {
    for (size_t i = 3; i <= length; ++i) {
        if (i < length && path[i] != L'\\') continue;
        const wchar_t kept = path[i];
        path[i] = L'\0';
        CreateDirectoryW(path, nullptr);
        path[i] = kept;
    }
}

// ksrimport-crash-<yyyymmdd>-<hhmmss>-<process id>, after the folder, in both buffers.
void NameDump() {
    SYSTEMTIME t{};
    GetLocalTime(&t);
    wchar_t* out = PutText(g_crash.part + g_crash.folderLength, kDumpPrefix);
    out = PutDigits(out, t.wYear, 4);
    out = PutDigits(out, t.wMonth, 2);
    out = PutDigits(out, t.wDay, 2);
    *out++ = L'-';
    out = PutDigits(out, t.wHour, 2);
    out = PutDigits(out, t.wMinute, 2);
    out = PutDigits(out, t.wSecond, 2);
    *out++ = L'-';
    out = PutDigits(out, GetCurrentProcessId(), 10);
    const size_t length = static_cast<size_t>(out - g_crash.part);
    std::wmemcpy(g_crash.done, g_crash.part, length);
    *PutText(g_crash.done + length, kDumpSuffix) = L'\0';
    *PutText(out, kPartSuffix) = L'\0';
}

DWORD WINAPI WriteDumpWhenCrashed(void*) {
    NameThisThread(L"ksr crash dump");
    WaitForSingleObject(g_crash.crashed, INFINITE);
    NameDump();
    MakeFolder(g_crash.part, g_crash.folderLength - 1);
    const HANDLE file = CreateFileW(g_crash.part, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        MINIDUMP_EXCEPTION_INFORMATION info{g_crash.threadId, g_crash.exception, FALSE};
        const auto type =
            static_cast<MINIDUMP_TYPE>(MiniDumpWithThreadInfo | MiniDumpWithUnloadedModules);
        const bool dumped = g_crash.writeDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                                              type, &info, nullptr, nullptr) &&
                            FlushFileBuffers(file);
        CloseHandle(file);
        if (!dumped || !MoveFileW(g_crash.part, g_crash.done)) DeleteFileW(g_crash.part);
    }
    SetEvent(g_crash.written);
    return 0;
}

LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* exception) {
    if (InterlockedCompareExchange(&g_crash.taken, 1, 0) != 0) {
        Sleep(INFINITE);
    }
    g_crash.exception = exception;
    g_crash.threadId = GetCurrentThreadId();
    SetEvent(g_crash.crashed);
    WaitForSingleObject(g_crash.written, kWriteTimeoutMs);
    // Ending here spares running the exit code of a process whose state is unknown.
    TerminateProcess(GetCurrentProcess(), exception->ExceptionRecord->ExceptionCode);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

bool InstallCrashDump(const std::wstring& directory) {
    if (g_crash.writeDump || directory.empty() || directory.size() + 64 > kPathRoom) return false;
    // dbghelp is no KnownDLL: taken from system32 only, and now, since loading a DLL after a
    // crash would take the loader lock the crashed thread may hold.
    const HMODULE dbghelp = LoadLibraryExW(L"dbghelp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!dbghelp) return false;
    // Through void*: GetProcAddress's type says nothing of the function's real one.
    void* const found = reinterpret_cast<void*>(GetProcAddress(dbghelp, "MiniDumpWriteDump"));
    if (!found) return false;
    g_crash.crashed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_crash.written = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!g_crash.crashed || !g_crash.written) return false;
    const std::wstring folder = WithSeparator(directory);
    std::wmemcpy(g_crash.part, folder.c_str(), folder.size());
    g_crash.folderLength = folder.size();
    const unique_handle writer(CreateThread(nullptr, 0, WriteDumpWhenCrashed, nullptr, 0, nullptr));
    if (!writer) return false;
    g_crash.writeDump = reinterpret_cast<MiniDumpWriteDumpFn>(found);
    SetUnhandledExceptionFilter(OnUnhandledException);
    return true;
}

std::vector<std::wstring> TakeNewCrashDumps(const std::wstring& directory) {
    const std::wstring listed = WithSeparator(ExtendedFromAbsolute(directory));
    std::vector<std::wstring> names;
    (void)ListDirectory(listed, [&](const WIN32_FIND_DATAW& entry) {
        const std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && name.starts_with(kDumpPrefix) &&
            name.ends_with(kDumpSuffix)) {
            names.push_back(name);
        }
        return true;
    });
    std::sort(names.begin(), names.end());
    const std::wstring marker = listed + kNamedMarker;
    std::wstring named(MAX_PATH, L'\0');
    {
        const unique_hfile file(CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        DWORD got = 0;
        if (!file || !ReadFile(file.get(), named.data(),
                               static_cast<DWORD>(named.size() * sizeof(wchar_t)), &got, nullptr)) {
            got = 0;
        }
        named.resize(got / sizeof(wchar_t));
    }
    // Dump names sort by the time of the crash.
    names.erase(names.begin(), std::upper_bound(names.begin(), names.end(), named));
    if (names.empty()) return {};
    const unique_hfile file(
        CreateFileW(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD put = 0;
    if (file) {
        (void)WriteFile(file.get(), names.back().data(),
                        static_cast<DWORD>(names.back().size() * sizeof(wchar_t)), &put, nullptr);
    }
    const std::wstring folder = WithSeparator(directory);
    for (std::wstring& name : names) name.insert(0, folder);
    return names;
}

}  // namespace ksr
