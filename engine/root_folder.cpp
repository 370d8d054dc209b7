#include "engine/importer.h"

#include <windows.h>

#include "engine/activity_log.h"
#include "engine/failure_reason.h"
#include "engine/file_transfer.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "util/paths.h"
#include "util/pattern.h"

namespace ksr {

std::wstring Importer::genfolder(std::wstring MyPath, std::wstring fil_dir,
                                 const std::wstring& ParentID, const std::wstring& MyID) {
    if (MyPath.ends_with(L'\\')) MyPath.pop_back();
    if (!fil_dir.ends_with(L'/')) fil_dir += L'/';

    std::wstring name = LastPathSegment(MyPath).value_or(L"");
    state_.RootFolderName = name;
    rootFolderReason_.clear();
    if (name == L"." || name == L"..") return {};
    // A store directory of that name could not be served.
    if (IsAlteredByPathParsing(name)) {
        rootFolderReason_ = reason::kNameNotServable;
        return {};
    }
    // A folder that is not there (or is a file) is not registered: its row would stand for
    // nothing in the store.
    const DWORD attributes = GetFileAttributesW(ExtendedFromAbsolute(MyPath).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        rootFolderReason_ =
            reason::kRootNotRegistered +
            Win32Reason(attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY);
        return {};
    }

    if (MatchesPattern(name, L"7")) {
        AddLine(ActivityLine(ActivityType::NameCleaned, MyPath, logtext::kRootCleaned));
        name = CleanFolderName(name);
    }
    (void)CreateDirectoryLevels(StorePath(fil_dir + name));
    std::wstring reason;
    const std::optional<std::wstring> id = RegisterFolder(name, ParentID, MyID, reason);
    if (!id) rootFolderReason_ = reason::kRootNotRegistered + reason;
    return id.value_or(L"");
}

}  // namespace ksr
