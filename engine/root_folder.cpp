#include "engine/importer.h"

#include <windows.h>

#include "engine/activity_log.h"
#include "engine/failure_reason.h"
#include "engine/file_transfer.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "util/paths.h"

namespace ksr {

Result<std::wstring> Importer::genfolder(std::wstring MyPath, std::wstring fil_dir,
                                         const std::wstring& ParentID, const std::wstring& MyID,
                                         FolderRegistrar& folders) {
    const std::wstring subject = WithSeparator(MyPath);
    if (MyPath.ends_with(L'\\')) MyPath.pop_back();
    if (!fil_dir.ends_with(L'/')) fil_dir += L'/';

    std::wstring name = LastPathSegment(MyPath).value_or(L"");
    state_.RootFolderName = name;
    const auto refuse = [&](const std::wstring& reason, Error error) -> Result<std::wstring> {
        record_.Failure(subject, ItemKind::FolderNotImported, reason);
        return error;
    };
    // A store directory of that name could not be served ("." and ".." have no name at all).
    if (name == L"." || name == L"..") return refuse({}, Win32Error(ERROR_INVALID_NAME, MyPath));
    if (IsAlteredByPathParsing(name) || IsAlteredByPathParsing(CleanFolderName(name))) {
        return refuse(reason::kNameNotServable, Win32Error(ERROR_INVALID_NAME, MyPath));
    }
    // A folder that is not there (or is a file) is not registered: its row would stand for
    // nothing in the store.
    const DWORD attributes = GetFileAttributesW(ExtendedFromAbsolute(MyPath).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        const DWORD code = attributes == INVALID_FILE_ATTRIBUTES ? GetLastError() : ERROR_DIRECTORY;
        return refuse(reason::kRootNotRegistered + Win32Reason(code), Win32Error(code, MyPath));
    }

    if (FolderNameNeedsCleaning(name)) {
        record_.Line(ActivityLine(ActivityType::NameCleaned, MyPath, logtext::kRootCleaned));
        name = CleanFolderName(name);
    }
    if (!places_.checkOnly) (void)CreateDirectoryLevels(places_.StorePath(fil_dir + name));
    Result<RegisteredFolder> row = folders.Register(name, ParentID, MyID);
    if (!row) {
        const std::wstring reason = reason::kRootNotRegistered + folders.Reason(row.error());
        return refuse(reason, std::move(row).error());
    }
    if (!row->found) record_.FolderImported();
    return std::move(row->id);
}

}  // namespace ksr
