#include "engine/importer.h"

#include <windows.h>

#include "engine/activity_log.h"
#include "engine/file_transfer.h"
#include "engine/messages.h"
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
    if (name == L"." || name == L"..") return {};
    // A folder that is not there (or is a file) is not registered: its row would stand for
    // nothing in the store.
    const DWORD attributes = GetFileAttributesW(ToExtendedPath(MyPath).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }

    if (MatchesPattern(name, L"7")) {
        AddLine(ActivityLine(ActivityType::NameCleaned, MyPath, msg::kRootCleaned));
        name = CleanFolderName(name);
    }
    CreateDirectoryChain(state_.KSR_CONSOLE + L"\\" + ReplaceAll(fil_dir + name, L'\\', L'/'));
    return RegisterFolder(name, ParentID, MyID).value_or(L"");
}

}  // namespace ksr
