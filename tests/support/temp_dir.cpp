#include "support/temp_dir.h"

#include <windows.h>

#include <algorithm>

#include "util/handles.h"
#include "util/narrow.h"
#include "util/paths.h"

namespace ksr::test {

TempDir::TempDir() {
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    static int counter = 0;
    path_ = std::wstring(base) + L"ksrtest-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(++counter);
    MakeDirs(path_);
}

TempDir::~TempDir() {
    RemoveTree(path_);
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
    MakeDirs(DirectoryPart(path));
    unique_hfile file(CreateFileW(ToExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    if (file && !bytes.empty()) {
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    }
}

std::string ReadBytes(const std::wstring& path) {
    unique_hfile file(CreateFileW(ToExtendedPath(path).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    if (!file) return bytes;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(ToExtendedPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirs(const std::wstring& path) {
    // Tests spell some paths with "/"; parsing the path folds them into "\\".
    (void)CreateDirectoryLevels(ToExtendedPath(path));
}

namespace {

// Works on the "\\?\" form throughout, so names that ordinary path parsing alters (a trailing
// dot or blank, a device name) are removed as themselves.
void RemoveExtendedTree(const std::wstring& extended) {
    const DWORD attributes = GetFileAttributesW(extended.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    SetFileAttributesW(extended.c_str(), FILE_ATTRIBUTE_NORMAL);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY) || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        if (!DeleteFileW(extended.c_str())) RemoveDirectoryW(extended.c_str());
        return;
    }
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileW((extended + L"\\*").c_str(), &entry));
    if (find) {
        do {
            const std::wstring name = entry.cFileName;
            if (name != L"." && name != L"..") names.push_back(name);
        } while (FindNextFileW(find.get(), &entry));
        find.reset();
    }
    for (const std::wstring& name : names) RemoveExtendedTree(extended + L"\\" + name);
    RemoveDirectoryW(extended.c_str());
}

}  // namespace

void RemoveTree(const std::wstring& path) {
    RemoveExtendedTree(ToExtendedPath(path));
}

std::vector<std::wstring> ListNames(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileW(ToExtendedPath(dir + L"\\*").c_str(), &entry));
    if (!find) return names;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") names.push_back(name);
    } while (FindNextFileW(find.get(), &entry));
    std::sort(names.begin(), names.end());
    return names;
}

std::string Utf8(const std::wstring& text) {
    return Narrow(text, CP_UTF8);
}

std::wstring FromUtf8(const std::string& bytes) {
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
    return text;
}

std::vector<std::wstring> FilesOneLevelDown(const std::wstring& dir) {
    std::vector<std::wstring> files;
    for (const std::wstring& folder : ListNames(dir)) {
        for (const std::wstring& name : ListNames(dir + L"\\" + folder)) {
            files.push_back(folder + L"\\" + name);
        }
    }
    return files;
}

bool WriteSparse(const std::wstring& path, int64_t size) {
    MakeDirs(path.substr(0, path.find_last_of(L'\\')));
    const unique_hfile file(CreateFileW(ToExtendedPath(path).c_str(), GENERIC_WRITE, 0, nullptr,
                                        CREATE_NEW, 0, nullptr));
    LARGE_INTEGER end{};
    end.QuadPart = size;
    return file && SetFilePointerEx(file.get(), end, nullptr, FILE_BEGIN) &&
           SetEndOfFile(file.get());
}

}  // namespace ksr::test
