#include "engine/importer.h"

#include <windows.h>

#include <cmath>

#include "engine/activity_log.h"
#include "engine/failure_reason.h"
#include "engine/file_transfer.h"
#include "engine/folder_row.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "util/handles.h"
#include "util/md5.h"
#include "util/dir_listing.h"
#include "util/paths.h"
#include "util/pattern.h"

namespace ksr {
namespace {

constexpr wchar_t kFolderIdMySql[] =
    L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=?";
constexpr wchar_t kFolderIdSqlServer[] =
    L"Select max(CONVERT(int,PtpFolderID)) as c from PtpFolder where MyID=?";
// The newest folder of the owner is the one just inserted only when nobody else inserted one in
// between; its own name and parent tell.
constexpr wchar_t kFolderRow[] = L"Select UsName,ParentID from PtpFolder where PtpFolderID=?";
constexpr wchar_t kOwnFolderIdMySql[] =
    L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=? and UsName=? and "
    L"ParentID=?";
constexpr wchar_t kOwnFolderIdSqlServer[] =
    L"Select max(CONVERT(int,PtpFolderID)) as c from PtpFolder where MyID=? and UsName=? and "
    L"ParentID=?";

}  // namespace

Result<std::wstring> Importer::RegisterFolder(const std::wstring& name,
                                              const std::wstring& ParentID,
                                              const std::wstring& MyID) {
    if (databaseLost_) return Win32Error(ERROR_CONNECTION_ABORTED);
    DbSession& db = *folderDb_;
    // A connection-level failure the database does not come back from marks it lost.
    const auto fail = [&](const Error& error) -> Result<std::wstring> {
        db.Rollback();
        if (error.IsConnectionLevel()) (void)DatabaseBack(db);
        return error;
    };
    // The row and the reading of its id form one transaction, so a row the server altered (or
    // whose id could not be told) does not stay behind.
    if (const Status begun = db.Begin(); !begun) return fail(begun.error());
    const bool mysql = state_.DB_TYPE == L"mysql";
    Result<std::optional<std::wstring>> id = InsertFolderRow(db, mysql, name, ParentID, MyID);
    if (!id) return fail(id.error());
    bool own = *id && !(*id)->empty();
    if (!own) {
        // A server that does not tell the id of the row just inserted: its owner's newest.
        const std::wstring_view owner[] = {MyID};
        id = db.QueryValue(mysql ? kFolderIdMySql : kFolderIdSqlServer, L"c", owner);
        if (!id) return fail(id.error());
    }
    if (!own && *id && !(*id)->empty()) {
        const std::wstring_view key[] = {**id};
        const Result<DbRow> row = db.QueryRow(kFolderRow, key);
        if (!row) return fail(row.error());
        own = row->size() == 2 && (*row)[0] == name && (*row)[1] == ParentID;
    }
    if (!own) {
        // Another writer's folder came in between: take the newest row that is ours.
        const std::wstring_view ours[] = {MyID, name, ParentID};
        id = db.QueryValue(mysql ? kOwnFolderIdMySql : kOwnFolderIdSqlServer, L"c", ours);
        if (!id) return fail(id.error());
    }
    if (!*id || (*id)->empty()) {
        db.Rollback();
        return Win32Error(ERROR_NOT_FOUND);
    }
    if (const Status committed = db.Commit(); !committed) return fail(committed.error());
    ++foldersImported_;
    return std::move(**id);
}

std::wstring Importer::FolderReason(const Error& error) const {
    // The database is marked lost only on the thread that registers folders, so it tells
    // whether the failure just met lost it.
    if (databaseLost_) return reason::kDatabaseLost;
    if (error.IsDatabase()) return DatabaseReason(error);
    if (error.win32 == ERROR_NOT_FOUND) return reason::kFolderRowMissing;
    return Win32Reason(error.win32);
}

void Importer::ShowProgress() {
    if (!(sourceBytes_ > 0)) return;
    const double share = static_cast<double>(state_.CopiedBytes) / sourceBytes_;
    // Only each new hundredth reaches the window, so a tree of small files does not flood it.
    const long long step = std::llround(share * 100.0);
    if (step == progressStep_) return;
    progressStep_ = step;
    window_.SetProgress(share);
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
    const ListingResult copied = CopyFolderInto(MyPath, holding);
    if (copied.started && !copied.complete()) {
        SubmitFailure(WithSeparator(MyPath), logtext::kFolderFailed,
                      reason::kListingBroken + Win32Reason(copied.error()));
    }
}

void Importer::ReportBrokenListing(const std::wstring& folder, const Error& error) {
    // The survey and the walk may both meet the same broken folder; it is one item.
    if (!brokenReported_.insert(WithSeparator(folder)).second) return;
    const std::wstring reason = reason::kListingBroken + Win32Reason(error.win32);
    if (pipeline_) {
        SubmitFailure(WithSeparator(folder), logtext::kFolderFailed, reason);
    } else {
        ReportFailure(WithSeparator(folder), logtext::kFolderFailed, reason);
    }
}

void Importer::Submit(std::function<void()> work, std::function<void()> commit) {
    if (pipeline_) {
        pipeline_->Submit(std::move(work), std::move(commit));
        return;
    }
    if (work) work();
    if (commit) commit();
    FlushBatch(true);
}

void Importer::ImportOneFile(const std::wstring& MyPath, const std::wstring& fil_dir,
                             const WIN32_FIND_DATAW& entry, const std::wstring& ParentID,
                             const std::wstring& MyID) {
    const std::wstring name = entry.cFileName;
    const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    auto unit = std::make_shared<FileUnit>();
    unit->source = MyPath + name;
    unit->cleaned = CleanFileName(name);
    unit->FilPath = fil_dir + unit->cleaned;
    unit->ParentID = ParentID;
    unit->MyID = MyID;
    unit->claim = plan_.ClaimPath(unit->FilPath);
    // Opened through a link, the copy reads its target, and deleting it would delete that.
    unit->link = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    ++filesReached_;
    state_.CopiedBytes += size;
    ShowProgress();

    const bool deleting = state_.DeleteAfterImport;
    if (unit->claim != StorePlan::Claim::Sole) {
        // Every earlier copy to the same store file is done and committed before this one
        // starts, so the later file is what the store keeps, as its rows say.
        if (pipeline_) pipeline_->Drain();
        // The earlier file's source may already be gone: its only copy is that store file.
        if (unit->claim == StorePlan::Claim::Taken && deleting) {
            SubmitFailure(unit->source, logtext::kFileFailed, reason::kTakenStorePath);
            return;
        }
    }

    // The copy may run beside other copies; its rows are written in listing order.
    auto copy = std::make_shared<CopyResult>();
    copy->status = Win32Error(ERROR_OPERATION_ABORTED);  // until the copy says otherwise
    const std::wstring target = StorePath(unit->FilPath);
    const CopyPurpose purpose = deleting && unit->claim == StorePlan::Claim::Sole && !unit->link
                                    ? CopyPurpose::ImportThenDeleteVerifyLater
                                    : CopyPurpose::Import;
    Submit(
        [copy, unit, target, purpose] {
            try {
                *copy = CopyFileHashed(ExtendedFromAbsolute(unit->source), target, purpose);
            } catch (...) {
                // The copy removed its partial store file on the way out.
                copy->status = Win32Error(ERROR_NOT_ENOUGH_MEMORY);
            }
        },
        [this, copy, unit] {
            try {
                CommitFile(*copy, *unit);
            } catch (...) {
                copy->source.reset();
                ReportFailure(
                    unit->source, logtext::kFileFailed,
                    WithRestoreFailure(reason::kUnexpected,
                                       RestoreAfterAbandonedCopy(*copy, StorePath(unit->FilPath))));
            }
        });
}

void Importer::sosuofile(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                         const std::wstring& MyID) {
    // An empty path would name the root of the current drive.
    if (MyPath.empty()) return;
    MyPath = WithSeparator(MyPath);
    if (!fil_dir.ends_with(L'/')) fil_dir += L'/';

    std::vector<SubFolder> folders;
    const ListingResult listing =
        ListDirectory(ExtendedFromAbsolute(MyPath), [&](const WIN32_FIND_DATAW& entry) {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM) return true;
            if (StopRequested()) return false;
            const std::wstring name = entry.cFileName;
            const bool isFolder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            const std::wstring path = MyPath + name;
            // Copied under the name Windows would make of it, it would be another file; and a
            // file whose cleaned name ends in a blank could not be opened from its row.
            if (IsAlteredByPathParsing(name) ||
                (!isFolder && IsAlteredByPathParsing(CleanFileName(name)))) {
                if (isFolder) {
                    SubmitFailure(path + L"\\", logtext::kFolderFailed, reason::kNameNotServable);
                } else {
                    SubmitFailure(path, logtext::kFileFailed, reason::kNameNotServable);
                }
                return true;
            }
            if (!isFolder) {
                ImportOneFile(MyPath, fil_dir, entry, ParentID, MyID);
                return true;
            }
            if (IsDirectoryLink(entry.dwFileAttributes)) {
                SubmitFailure(path + L"\\", logtext::kFolderFailed, reason::kDirectoryLink);
                return true;
            }
            const bool special = MatchesPattern(name, L"7");
            const std::wstring cleaned = special ? CleanFolderName(name) : name;
            auto id = std::make_shared<std::promise<std::optional<std::wstring>>>();
            folders.push_back({name, id->get_future()});
            Submit({}, [this, id, special, path, cleaned, ParentID, MyID] {
                std::optional<std::wstring> got;
                try {
                    if (special)
                        AddLine(
                            ActivityLine(ActivityType::NameCleaned, path, logtext::kFolderCleaned));
                    Result<std::wstring> registered = RegisterFolder(cleaned, ParentID, MyID);
                    // Without its own id the sub-tree would land under an empty parent or
                    // another folder; it waits for the next run instead.
                    if (registered) {
                        got = std::move(registered).value();
                    } else {
                        ReportFailure(path + L"\\", logtext::kFolderFailed,
                                      FolderReason(registered.error()));
                    }
                } catch (...) {
                    got.reset();
                    ReportFailure(path + L"\\", logtext::kFolderFailed, reason::kUnexpected);
                }
                id->set_value(got);
            });
            return true;
        });
    if (!listing.started) {
        HoldUnlistableFolder(MyPath.substr(0, MyPath.size() - 1));
        SubmitFailure(MyPath, logtext::kFolderFailed,
                      reason::kUnlistable + Win32Reason(listing.error()));
        return;
    }
    // What was listed is imported; the rest of the folder is reported.
    if (!listing.complete()) ReportBrokenListing(MyPath, listing.status.error());

    for (SubFolder& folder : folders) {
        const std::optional<std::wstring> id = folder.id.get();
        if (!id || StopRequested()) continue;
        const std::wstring childDir =
            ReplaceAll(fil_dir + CleanFolderName(folder.name), L'\\', L'/');
        // Its files still try, and report, their own copies.
        if (const Status made = CreateDirectoryLevels(StorePath(childDir)); !made) {
            SubmitFailure(MyPath + folder.name + L"\\", logtext::kFolderFailed,
                          reason::kStoreDirectory + Win32Reason(made.error().win32));
        }
        sosuofile(MyPath + folder.name, childDir, *id, MyID);
    }
}

}  // namespace ksr
