#include "engine/importer.h"

#include <windows.h>

#include <algorithm>
#include <cmath>

#include "engine/activity_log.h"
#include "engine/failure_reason.h"
#include "engine/file_transfer.h"
#include "engine/folder_row.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "util/handles.h"
#include "util/held_path.h"
#include "util/md5.h"
#include "util/dir_listing.h"
#include "util/paths.h"
#include "util/pattern.h"

namespace ksr {
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
    const FolderIdQueries& fallback = FolderIdFallback(mysql);
    bool own = *id && !(*id)->empty();
    if (!own) {
        // A server that does not tell the id of the row just inserted: its owner's newest.
        const std::wstring_view owner[] = {MyID};
        id = db.QueryValue(fallback.ownersNewest, L"c", owner);
        if (!id) return fail(id.error());
    }
    // The newest folder of the owner is the one just inserted only when nobody else inserted one
    // in between; its own name and parent tell.
    if (!own && *id && !(*id)->empty()) {
        const std::wstring_view key[] = {**id};
        const Result<DbRow> row = db.QueryRow(fallback.nameAndParent, key);
        if (!row) return fail(row.error());
        own = row->size() == 2 && (*row)[0] == name && (*row)[1] == ParentID;
    }
    if (!own) {
        // Another writer's folder came in between: take the newest row that is ours.
        const std::wstring_view ours[] = {MyID, name, ParentID};
        id = db.QueryValue(fallback.newestOfName, L"c", ours);
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

std::wstring Importer::HoldUnlistableFolder(const std::wstring& MyPath) {
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
    // Nothing is written through a link on the holding directory's way either.
    const std::wstring copy = WithSeparator(holding) + LastPathSegment(MyPath).value_or(L"");
    if (const Status plain = CheckNoLinkBelow(L"\\\\?\\d:\\", ToExtendedPath(copy)); !plain) {
        return LinkInTheWay(plain.error());
    }
    // Without drive D: every step fails quietly; the folder is still reported.
    const std::wstring listed = ListedFinal(MyPath);
    const ListingResult copied =
        CopyFolderInto(MyPath, holding, {listed, listed.empty() ? std::wstring() : sourceRoot_});
    if (copied.started && !copied.complete()) {
        SubmitFailure(WithSeparator(MyPath), logtext::kFolderFailed,
                      reason::kListingBroken + Win32Reason(copied.error()));
    }
    return {};
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

std::wstring Importer::ListedFinal(const std::wstring& path) const {
    if (sourceRoot_.empty() || !WithSeparator(path).starts_with(sourceTyped_)) return {};
    return sourceRoot_ + path.substr(std::min(path.size(), sourceTyped_.size()));
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
    unit->place = {ListedFinal(unit->source), sourceRoot_};
    // Listed as a link (on Windows): even when its handle turns out to be the listed file,
    // deleting it is left to the operator.
    unit->link = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    ++filesReached_;
    state_.CopiedBytes += size;
    ShowProgress();

    // An earlier file of this run may have written the same store file (names that clean alike
    // or differ only in letter case): it is copied, committed and settled first, so this one
    // meets the store file as it stays.
    if (plan_.ClaimPath(unit->FilPath) == StorePlan::Claim::Again && pipeline_) {
        pipeline_->Drain();
    }

    // The copy may run beside other copies; its rows are written in listing order.
    auto copy = std::make_shared<CopyResult>();
    copy->status = Win32Error(ERROR_OPERATION_ABORTED);  // until the copy says otherwise
    const std::wstring target = StorePath(unit->FilPath);
    const CopyPurpose purpose = state_.DeleteAfterImport && !unit->link
                                    ? CopyPurpose::ImportThenDeleteVerifyLater
                                    : CopyPurpose::Import;
    Submit(
        [copy, unit, target, purpose] {
            try {
                *copy = CopyFileHashed(ExtendedFromAbsolute(unit->source), target, purpose,
                                       unit->place);
            } catch (...) {
                // The copy removed its partial store file on the way out.
                copy->status = Win32Error(ERROR_NOT_ENOUGH_MEMORY);
            }
        },
        [this, copy, unit] {
            try {
                CommitFile(*copy, *unit);
            } catch (...) {
                DiscardStoreCopy(*copy, StorePath(unit->FilPath));
                ReportFailure(unit->source, logtext::kFileFailed, reason::kUnexpected);
            }
        });
}

std::wstring Importer::CopyFailureReason(const CopyResult& copy, const FileUnit& unit) const {
    const std::wstring store =
        WithSeparator(state_.KSR_CONSOLE) + ReplaceAll(unit.FilPath, L'/', L'\\');
    switch (copy.refused) {
        case CopyResult::Refusal::StoreEntryDiffers:
            return reason::kStoreFileDiffers + store;
        case CopyResult::Refusal::StoreEntryNotAFile:
            return reason::kStoreEntryTaken + store;
        case CopyResult::Refusal::SourceOutside:
            return reason::kLinkOutside;
        case CopyResult::Refusal::None:
            break;
    }
    return Win32Reason(copy.error());
}

bool Importer::HoldListedFolder(const std::wstring& MyPath, unique_hfile& held) {
    const std::wstring listed = ListedFinal(MyPath);
    if (listed.empty()) return true;
    // Held without delete sharing, it can't be renamed or swapped for a link while it is listed.
    held.reset(CreateFileW(ExtendedFromAbsolute(MyPath).c_str(), FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // What can't be opened can't be listed either; the listing reports it.
    if (!held) return true;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool plain =
        GetFileInformationByHandleEx(held.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
        !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const Result<HeldAt> at = WhereHeld(held.get(), listed, sourceRoot_);
    if (plain && at && *at == HeldAt::Listed) return true;
    SubmitFailure(MyPath, logtext::kFolderFailed, reason::kDirectoryLink);
    return false;
}

void Importer::ReportGoneFiles(const std::wstring& MyPath, std::vector<std::wstring>& listed) {
    const auto surveyed = surveyedFiles_.find(MyPath);
    if (surveyed == surveyedFiles_.end()) return;
    const std::wstring names = std::move(surveyed->second);
    surveyedFiles_.erase(surveyed);
    std::sort(listed.begin(), listed.end());
    for (size_t at = 0; at < names.size();) {
        const size_t end = names.find(L'\0', at);
        const std::wstring name = names.substr(at, end - at);
        at = end + 1;
        if (!std::binary_search(listed.begin(), listed.end(), name)) {
            SubmitFailure(MyPath + name, logtext::kFileFailed, reason::kFileGone);
        }
    }
}

std::vector<Importer::SubFolder> Importer::ListFolder(const std::wstring& MyPath,
                                                      const std::wstring& fil_dir,
                                                      const std::wstring& ParentID,
                                                      const std::wstring& MyID) {
    std::vector<SubFolder> folders;
    unique_hfile held;
    if (!HoldListedFolder(MyPath, held)) return folders;
    std::vector<std::wstring> files;  // every file name listed, for the survey's to be found
    const ListingResult listing =
        ListDirectory(ExtendedFromAbsolute(MyPath), [&](const WIN32_FIND_DATAW& entry) {
            if (StopRequested()) return false;
            const std::wstring name = entry.cFileName;
            const bool isFolder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
            const std::wstring path = MyPath + name;
            if (!isFolder) files.push_back(name);
            // Explorer marks customised folders as system ones; only system files stay out.
            if (!isFolder && (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM)) {
                Submit({}, [this, path] { skipped_.push_back(path); });
                return true;
            }
            // Copied under the name Windows would make of it, it would be another file; and a
            // name whose cleaned form ends in a blank or is a device could not be opened from
            // its row.
            const std::wstring cleaned = isFolder ? CleanFolderName(name) : CleanFileName(name);
            if (IsAlteredByPathParsing(name) || IsAlteredByPathParsing(cleaned)) {
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
        const std::wstring notHeld = HoldUnlistableFolder(MyPath.substr(0, MyPath.size() - 1));
        SubmitFailure(
            MyPath, logtext::kFolderFailed,
            notHeld.empty() ? reason::kUnlistable + Win32Reason(listing.error()) : notHeld);
        return folders;
    }
    // What was listed is imported; the rest of the folder is reported.
    if (!listing.complete()) {
        ReportBrokenListing(MyPath, listing.status.error());
    } else if (!StopRequested()) {
        ReportGoneFiles(MyPath, files);
    }
    return folders;
}

void Importer::sosuofile(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                         const std::wstring& MyID) {
    // An empty path would name the root of the current drive.
    if (MyPath.empty()) return;
    MyPath = WithSeparator(MyPath);
    if (!fil_dir.ends_with(L'/')) fil_dir += L'/';

    // Depth first without recursion, so a tree as deep as a path allows needs no stack for it:
    // one level per folder being walked, the paths grown and cut back in place.
    struct Level {
        std::vector<SubFolder> folders;
        size_t next = 0;
        size_t pathSize = 0;
        size_t dirSize = 0;
    };
    std::vector<Level> levels;
    std::wstring id = ParentID;
    for (;;) {
        levels.push_back({ListFolder(MyPath, fil_dir, id, MyID), 0, MyPath.size(), fil_dir.size()});
        bool descending = false;
        while (!levels.empty() && !descending) {
            Level& level = levels.back();
            MyPath.resize(level.pathSize);
            fil_dir.resize(level.dirSize);
            if (level.next == level.folders.size()) {
                levels.pop_back();
                continue;
            }
            SubFolder& folder = level.folders[level.next++];
            std::optional<std::wstring> got = folder.id.get();
            if (!got || StopRequested()) continue;
            fil_dir += ReplaceAll(CleanFolderName(folder.name), L'\\', L'/');
            // Levels above were checked on the way down.
            if (const Status plain = CheckNoLinkBelow(StorePath(fil_dir.substr(0, level.dirSize)),
                                                      StorePath(fil_dir));
                !plain) {
                SubmitFailure(MyPath + folder.name + L"\\", logtext::kFolderFailed,
                              LinkInTheWay(plain.error()));
                continue;
            }
            // Its files still try, and report, their own copies.
            if (const Status made = CreateDirectoryLevels(StorePath(fil_dir)); !made) {
                SubmitFailure(MyPath + folder.name + L"\\", logtext::kFolderFailed,
                              reason::kStoreDirectory + Win32Reason(made.error().win32));
            }
            MyPath += folder.name + L"\\";
            fil_dir += L'/';
            id = *std::move(got);
            descending = true;
        }
        if (!descending) return;
    }
}

}  // namespace ksr
