#include "engine/partial_folder.h"

#include <cwctype>
#include <functional>

#include "util/guid.h"
#include "util/held_path.h"
#include "util/paths.h"

namespace ksr {
namespace {

// Global: a run started by the scheduler and one the operator started must see each other.
std::wstring ClaimName(const std::wstring& run) {
    return L"Global\\ksrimport-partial-" + run;
}

// The names runs give their folders (NewGuidText): nothing else there is touched.
bool IsRunName(const std::wstring& name) {
    if (name.size() != 32) return false;
    for (const wchar_t c : name) {
        if (!std::iswxdigit(c)) return false;
    }
    return true;
}

// Each entry of `folder` (with a trailing "\") but "." and "..", as listed.
void ForEachEntry(const std::wstring& folder,
                  const std::function<void(const WIN32_FIND_DATAW&)>& f) {
    WIN32_FIND_DATAW entry;
    const unique_hfind find(FindFirstFileW((folder + L"*").c_str(), &entry));
    if (!find) return;
    do {
        if (!IsDotEntry(entry.cFileName)) f(entry);
    } while (FindNextFileW(find.get(), &entry));
}

bool IsPlainEntry(const WIN32_FIND_DATAW& entry) {
    return !(entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes the folders of runs that no longer live, with the files in them.
void RemoveLeftovers(const std::wstring& top, const std::wstring& shown,
                     std::vector<std::wstring>& removed) {
    std::vector<std::wstring> runs;
    ForEachEntry(WithSeparator(top), [&](const WIN32_FIND_DATAW& entry) {
        if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsPlainEntry(entry) &&
            IsRunName(entry.cFileName)) {
            runs.push_back(entry.cFileName);
        }
    });
    for (const std::wstring& run : runs) {
        // Held while the folder is emptied, so that a run starting meanwhile leaves it alone. A
        // claim that exists, or can't be had, is a run still going.
        const unique_handle claim(CreateMutexW(nullptr, FALSE, ClaimName(run).c_str()));
        if (!claim || GetLastError() == ERROR_ALREADY_EXISTS) continue;
        const std::wstring folder = WithSeparator(top) + run + L"\\";
        ForEachEntry(folder, [&](const WIN32_FIND_DATAW& entry) {
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsPlainEntry(entry)) return;
            if (DeleteFileW((folder + entry.cFileName).c_str())) {
                removed.push_back(shown + run + L"\\" + entry.cFileName);
            }
        });
        RemoveDirectoryW(folder.c_str());
    }
}

}  // namespace

Status PartialFolder::Claim(const std::wstring& storeRoot, const std::wstring& storeShown,
                            std::vector<std::wstring>& removed) {
    Release();
    const std::wstring top = storeRoot + L"\\" + kPartialFolderName;
    if (Status made = CreateDirectoryLevels(top); !made) return made;
    // A link there would take the copies out of the store.
    if (IsLinkEntry(top).value_or(true)) return Win32Error(ERROR_REPARSE_POINT_ENCOUNTERED, top);
    SetFileAttributesW(top.c_str(), FILE_ATTRIBUTE_HIDDEN);
    RemoveLeftovers(top, WithSeparator(storeShown) + kPartialFolderName + L"\\", removed);

    Result<std::wstring> run = NewGuidText();
    if (!run) return Win32Error(run.error().win32, top);
    // Claimed before its folder exists: a run that finds the folder finds the claim.
    unique_handle claim(CreateMutexW(nullptr, FALSE, ClaimName(*run).c_str()));
    if (!claim || GetLastError() == ERROR_ALREADY_EXISTS) {
        return Win32Error(claim ? ERROR_ALREADY_EXISTS : GetLastError(), top);
    }
    std::wstring path = top + L"\\" + *run;
    if (!CreateDirectoryW(path.c_str(), nullptr)) return Win32Failure(path);
    path_ = std::move(path);
    claim_ = std::move(claim);
    return {};
}

void PartialFolder::Release() {
    if (!path_.empty()) RemoveDirectoryW(path_.c_str());
    path_.clear();
    claim_.reset();
}

}  // namespace ksr
