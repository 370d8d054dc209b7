#include "engine/importer.h"

#include <windows.h>

#include <cmath>
#include <cwchar>
#include <set>

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

// File names compare without regard to letter case, as the file system does.
std::wstring ToUpperText(std::wstring text) {
    CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

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

void Importer::Submit(std::function<void()> work, std::function<void()> commit) {
    if (pipeline_) {
        pipeline_->Submit(std::move(work), std::move(commit));
        return;
    }
    if (work) work();
    if (commit) commit();
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

    // The copy may run beside other copies; its rows are written in listing order.
    auto copy = std::make_shared<CopyResult>();
    Submit([copy, source, target] { *copy = CopyFileHashed(source, target); },
           [this, copy, source, target, cleaned, FilPath, ParentID, MyID] {
               CommitFile(*copy, source, target, cleaned, FilPath, ParentID, MyID);
           });
}

void Importer::CommitFile(const CopyResult& copy, const std::wstring& source,
                          const std::wstring& target, const std::wstring& cleaned,
                          const std::wstring& FilPath, const std::wstring& ParentID,
                          const std::wstring& MyID) {
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
    // A source that changed since it was copied (it grew, say) is not the file in the store.
    const auto stored = FileMd5Hex(target);
    WIN32_FILE_ATTRIBUTE_DATA now{};
    const bool unchanged =
        GetFileAttributesExW(ToExtendedPath(source).c_str(), GetFileExInfoStandard, &now) &&
        ((static_cast<uint64_t>(now.nFileSizeHigh) << 32) | now.nFileSizeLow) == copy.bytes;
    if (!stored || _wcsicmp(stored->c_str(), copy.md5.c_str()) != 0 || !unchanged) {
        ReportFailure(source, msg::kFileFailed);
        return;
    }
    DeleteSourceFile(source);
}

void Importer::sosuofile(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                         const std::wstring& MyID) {
    // An empty path would name the root of the current drive.
    if (MyPath.empty()) return;
    MyPath = WithSeparator(MyPath);
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
        Submit({}, [this, MyPath] { ReportFailure(MyPath, msg::kFolderFailed); });
        return;
    }

    std::vector<SubFolder> folders;
    // Names that clean to the same store file are copied one after the other, in listing
    // order, so the later one is what the store keeps.
    std::set<std::wstring> storeNames;
    do {
        if (IsDotEntry(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM)) {
            continue;
        }
        if (StopRequested()) break;
        const std::wstring name = entry.cFileName;
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
            const uint64_t size =
                (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            if (!storeNames.insert(ToUpperText(CleanFileName(name))).second && pipeline_) {
                pipeline_->Drain();
            }
            ImportOneFile(MyPath, fil_dir, name, size, ParentID, MyID);
            continue;
        }
        const std::wstring path = MyPath + name;
        if (IsDirectoryLink(entry.dwFileAttributes)) {
            Submit({}, [this, path] { ReportFailure(path + L"\\", msg::kFolderFailed); });
            continue;
        }
        const bool special = MatchesPattern(name, L"7");
        const std::wstring cleaned = special ? CleanFolderName(name) : name;
        auto id = std::make_shared<std::promise<std::optional<std::wstring>>>();
        folders.push_back({name, id->get_future()});
        Submit({}, [this, id, special, path, cleaned, ParentID, MyID] {
            if (special)
                AddLine(ActivityLine(ActivityType::NameCleaned, path, msg::kFolderCleaned));
            const auto got = RegisterFolder(cleaned, ParentID, MyID);
            // Without its own id the sub-tree would land under an empty parent; it waits for
            // the next run instead.
            if (!got) ReportFailure(path + L"\\", msg::kFolderFailed);
            id->set_value(got);
        });
    } while (FindNextFileW(find.get(), &entry));
    find.reset();

    for (SubFolder& folder : folders) {
        const std::optional<std::wstring> id = folder.id.get();
        if (!id || StopRequested()) continue;
        const std::wstring childDir =
            ReplaceAll(fil_dir + CleanFolderName(folder.name), L'\\', L'/');
        CreateDirectoryChain(state_.KSR_CONSOLE + L"\\" + childDir);
        sosuofile(MyPath + folder.name, childDir, *id, MyID);
    }
}

}  // namespace ksr
