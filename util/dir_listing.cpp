#include "util/dir_listing.h"

#include <memory>
#include <mutex>

#include "util/handles.h"
#include "util/paths.h"
#include "util/sync.h"

namespace ksr {
namespace {

using Fault = std::function<DWORD(const std::wstring&, size_t)>;

SrwMutex faultMutex;
std::shared_ptr<const Fault> installedFault;

std::shared_ptr<const Fault> CurrentFault() {
    std::lock_guard lock(faultMutex);
    return installedFault;
}

DWORD AskFault(const Fault* fault, const std::wstring& directory, size_t delivered) {
    return fault ? (*fault)(directory, delivered) : ERROR_SUCCESS;
}

bool IsExistingDirectory(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

}  // namespace

void SetListingFaultForTest(Fault fault) {
    auto next = fault ? std::make_shared<const Fault>(std::move(fault)) : nullptr;
    std::lock_guard lock(faultMutex);
    installedFault = std::move(next);
}

ListingResult ListDirectory(const std::wstring& directory,
                            const std::function<bool(const WIN32_FIND_DATAW&)>& visit) {
    const std::shared_ptr<const Fault> fault = CurrentFault();
    if (const DWORD injected = AskFault(fault.get(), directory, 0)) {
        return {Win32Error(injected, directory), false};
    }

    const std::wstring folder = WithSeparator(directory);
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &entry,
                                       FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        const DWORD error = GetLastError();
        // A drive root lists no "." entry: when empty it yields nothing at all.
        if (error == ERROR_FILE_NOT_FOUND && IsExistingDirectory(folder)) return {{}, true};
        return {Win32Error(error, directory), false};
    }

    size_t delivered = 0;
    for (;;) {
        if (!IsDotEntry(entry.cFileName)) {
            if (!visit(entry)) return {{}, true};
            ++delivered;
            if (const DWORD injected = AskFault(fault.get(), directory, delivered)) {
                return {Win32Error(injected, directory), true};
            }
        }
        if (!FindNextFileW(find.get(), &entry)) {
            const DWORD error = GetLastError();
            if (error == ERROR_NO_MORE_FILES) return {{}, true};
            return {Win32Error(error, directory), true};
        }
    }
}

}  // namespace ksr
