#include "engine/importer.h"

#include <windows.h>

#include <cmath>
#include <cwchar>

#include "engine/activity_log.h"
#include "engine/file_transfer.h"
#include "engine/messages.h"
#include "engine/names.h"
#include "util/guid.h"
#include "util/handles.h"
#include "util/md5.h"
#include "util/paths.h"
#include "util/pattern.h"

namespace ksr {
namespace {

constexpr wchar_t kInsertFolder[] =
    L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
    L"values(?,?,?,1,'1','admin')";
constexpr wchar_t kFolderIdMySql[] =
    L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=?";
constexpr wchar_t kFolderIdSqlServer[] =
    L"Select max(CONVERT(int,PtpFolderID)) as c from PtpFolder where MyID=?";
constexpr wchar_t kInsertFile[] =
    L"insert into PtpFile(Msg_ID,MyID,UsName,TypePath,PcSize,PtpFolderID,FilPath,To_Type,"
    L"FileState,CreatorID,CreatorName) values(?,?,'admin',?,?,?,?,1,1,'1','admin')";
constexpr wchar_t kInsertDigest[] =
    L"insert into MD5File(MyID,FormFileType,TypePath,PcSize,FilPath,MD5Hash) "
    L"values('1',1,?,?,?,?)";

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

}  // namespace

std::optional<std::wstring> Importer::RegisterFolder(const std::wstring& name,
                                                     const std::wstring& ParentID,
                                                     const std::wstring& MyID) {
    const std::wstring_view insert[] = {MyID, name, ParentID};
    // After a failed insert the newest row of this owner belongs to another folder.
    if (db_->Execute(kInsertFolder, insert)) return std::nullopt;
    // The newest row of this owner is taken as the one just inserted.
    const std::wstring_view owner[] = {MyID};
    const DbValue id = db_->QueryValue(
        state_.DB_TYPE == L"mysql" ? kFolderIdMySql : kFolderIdSqlServer, L"c", owner);
    if (!id.value || id.value->empty()) return std::nullopt;
    return id.value;
}

void Importer::ShowProgress() {
    wchar_t* end = nullptr;
    const double total = std::wcstod(state_.SourceBytesTotal.c_str(), &end);
    if (state_.SourceBytesTotal.empty() || *end != L'\0' || !(total > 0)) return;
    const double share = static_cast<double>(state_.CopiedBytes) / total;
    std::wstring text = std::to_wstring(std::llround(share * 100.0)) + L"%";
    // Only changes reach the window, so a tree of small files does not flood it.
    if (text == label2_) return;
    label2_ = text;
    window_.SetLabel2(text);
}

void Importer::HoldUnlistableFolder(const std::wstring& MyPath) {
    const std::wstring& rootName = state_.RootFolderName;
    std::wstring relative;
    if (!rootName.empty()) {
        const size_t first = MyPath.find(rootName);
        if (first != std::wstring::npos) {
            const size_t from = first + rootName.size();
            const size_t next = MyPath.find(rootName, from);
            relative =
                MyPath.substr(from, next == std::wstring::npos ? std::wstring::npos : next - from);
        }
    }
    const std::wstring holding =
        ReplaceAll(L"d:/KSRtemp/" + rootName + DirectoryPart(relative), L'/', L'\\');
    // Without drive D: every step fails quietly; the folder is still reported.
    CopyFolderInto(MyPath, holding);
}

void Importer::ImportOneFile(const std::wstring& MyPath, const std::wstring& fil_dir,
                             const std::wstring& name, uint64_t size, const std::wstring& ParentID,
                             const std::wstring& MyID) {
    const std::wstring cleaned = CleanFileName(name);
    const std::wstring source = MyPath + name;
    const std::wstring FilPath = fil_dir + cleaned;
    const std::wstring target = state_.KSR_CONSOLE + L"\\" + ReplaceAll(FilPath, L'/', L'\\');

    state_.CopiedBytes += size;
    ShowProgress();

    const CopyResult copy = CopyFileHashed(source, target);
    if (!copy.ok()) {
        ReportFailure(source, msg::kFileFailed);
        return;
    }
    const std::wstring sizeText = std::to_wstring(copy.bytes);
    const std::wstring guid = NewGuidText();
    const std::wstring_view fileRow[] = {guid, MyID, cleaned, sizeText, ParentID, FilPath};
    const std::wstring_view digestRow[] = {cleaned, sizeText, FilPath, copy.md5};
    auto fileError = db_->Execute(kInsertFile, fileRow);
    auto digestError = db_->Execute(kInsertDigest, digestRow);
    if (fileError || digestError) {
        ReportFailure(source, msg::kFileFailed);
        return;
    }
    if (!state_.DeleteAfterImport) return;

    // The operator's only copy goes only once the store holds the very same bytes.
    const auto stored = FileMd5Hex(target);
    std::wstring storedLower = stored.value_or(L"?");
    for (wchar_t& c : storedLower) c = static_cast<wchar_t>(towlower(c));
    if (!stored || storedLower != copy.md5) {
        ReportFailure(source, msg::kFileFailed);
        return;
    }
    DeleteSourceFile(source);
}

void Importer::sosuofile(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                         const std::wstring& MyID) {
    // An empty path would name the root of the current drive.
    if (MyPath.empty()) return;
    if (!MyPath.ends_with(L'\\')) MyPath += L'\\';
    if (!fil_dir.ends_with(L'/')) fil_dir += L'/';

    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileExW(ToExtendedPath(MyPath + L"*").c_str(), FindExInfoBasic,
                                       &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!find) {
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(ToExtendedPath(MyPath).c_str());
        // A drive root lists no "." entry: when empty it yields nothing at all.
        const bool emptyDirectory = error == ERROR_FILE_NOT_FOUND &&
                                    attributes != INVALID_FILE_ATTRIBUTES &&
                                    (attributes & FILE_ATTRIBUTE_DIRECTORY);
        if (emptyDirectory) return;
        HoldUnlistableFolder(MyPath.substr(0, MyPath.size() - 1));
        ReportFailure(MyPath, msg::kFolderFailed);
        return;
    }

    std::vector<SubFolder> folders;
    do {
        if (IsDotEntry(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM)) {
            continue;
        }
        if (StopRequested()) return;
        const std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const uint64_t size =
                (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            ImportOneFile(MyPath, fil_dir, name, size, ParentID, MyID);
            continue;
        }
        // Junctions and directory links are not followed: one pointing upwards never ends.
        if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            ReportFailure(MyPath + name + L"\\", msg::kFolderFailed);
            continue;
        }
        std::wstring cleaned = name;
        if (MatchesPattern(name, L"7")) {
            AddLine(ActivityLine(ActivityType::NameCleaned, MyPath + name, msg::kFolderCleaned));
            cleaned = CleanFolderName(name);
        }
        const auto id = RegisterFolder(cleaned, ParentID, MyID);
        if (!id) {
            // Without its own id the sub-tree would land under an empty parent; it waits for
            // the next run instead.
            ReportFailure(MyPath + name + L"\\", msg::kFolderFailed);
            continue;
        }
        folders.push_back({name, *id});
    } while (FindNextFileW(find.get(), &entry));
    find.reset();

    for (const SubFolder& folder : folders) {
        if (StopRequested()) return;
        const std::wstring childDir =
            ReplaceAll(fil_dir + CleanFolderName(folder.name), L'\\', L'/');
        CreateDirectoryChain(state_.KSR_CONSOLE + L"\\" + childDir);
        sosuofile(MyPath + folder.name, childDir, folder.id, MyID);
    }
}

}  // namespace ksr
