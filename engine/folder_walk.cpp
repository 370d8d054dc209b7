#include "engine/folder_walk.h"

#include <algorithm>
#include <cmath>
#include <cwchar>
#include <memory>

#include "engine/activity_log.h"
#include "engine/failure_reason.h"
#include "engine/file_transfer.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "util/dir_listing.h"
#include "util/held_path.h"
#include "util/paths.h"

namespace ksr {
namespace {

// The survey's byte total as the run state keeps it (decimal text); 0 when there is none.
double ByteTotal(const std::wstring& text) {
    wchar_t* end = nullptr;
    const double total = std::wcstod(text.c_str(), &end);
    if (text.empty() || *end != L'\0' || !(total > 0)) return 0;
    return total;
}

// A file's copy step: a check's look at what a copy would meet, or the copy itself through the
// run's folder for temporary names. Without that folder nothing is written to the store.
CopyResult CopyOrCheck(const RunPlaces& places, const FileUnit& unit, const std::wstring& target,
                       CopyPurpose purpose, const std::wstring& sameAs) {
    const std::wstring source = ExtendedFromAbsolute(unit.source);
    if (places.checkOnly) return CheckFileCopy(source, target, unit.place, sameAs);
    if (places.partialDir.empty()) {
        CopyResult refused;
        refused.status =
            places.noPartial.ok() ? Win32Error(ERROR_PATH_NOT_FOUND) : places.noPartial;
        return refused;
    }
    return CopyFileHashed(source, target, purpose, unit.place, places.partialDir);
}

}  // namespace

void FolderWalk::Survey(const std::wstring& source, const std::wstring& text2,
                        const std::wstring& target) {
    if (Result<SourceSurvey> survey = SurveyFolder(source, target + L"/", with_.places.storeRoot)) {
        surveyedBytes_ = survey->bytes;
        bytesToCopy_ = survey->bytesToCopy;
        uint64_t total = survey->bytes;
        if (!text2.empty()) total += FolderSize(text2).value_or(0);
        with_.state.SourceBytesTotal = std::to_wstring(total);
        with_.tally.filesExpected = survey->files;
        plan_ = StorePlan(std::move(survey->storeKeys));
        surveyedFiles_ = std::move(survey->filesByFolder);
        surveyBreaks_ = std::move(survey->brokenFolders);
    }
    sourceBytes_ = ByteTotal(with_.state.SourceBytesTotal);
}

void FolderWalk::ReportSurveyBreaks() {
    for (const Error& broken : surveyBreaks_) ReportBrokenListing(broken.path, broken);
    surveyBreaks_.clear();
}

bool FolderWalk::StopRequested() {
    RunFlags& flags = with_.flags;
    StatementWatch* watch = with_.watch;
    if (!flags.stopped && ((watch && watch->Stopped()) || with_.window.StopRequested())) {
        flags.stopped = true;
        if (watch) watch->Stop();
    }
    return flags.Ending();
}

void FolderWalk::Submit(std::function<void()> work, std::function<void()> commit) {
    pipeline_->Submit(std::move(work), std::move(commit));
}

void FolderWalk::SubmitFailure(std::wstring path, ItemKind kind, std::wstring reason) {
    RunEvents events;
    events.Failure(std::move(path), kind, std::move(reason));
    Submit({},
           [this, events = std::move(events)]() mutable { with_.writer.Add(std::move(events)); });
}

void FolderWalk::ReportBrokenListing(const std::wstring& folder, const Error& error) {
    // The survey and the walk may both meet the same broken folder; it is one item.
    if (!brokenReported_.insert(WithSeparator(folder)).second) return;
    const std::wstring reason = reason::kListingBroken + ErrorReason(error);
    if (pipeline_) {
        SubmitFailure(WithSeparator(folder), ItemKind::FolderNotImported, reason);
    } else {
        with_.record.Failure(WithSeparator(folder), ItemKind::FolderNotImported, reason);
    }
}

void FolderWalk::ShowProgress() {
    with_.window.FileReached(with_.tally.filesReached, with_.state.CopiedBytes);
    if (!(sourceBytes_ > 0)) return;
    const double share = static_cast<double>(with_.state.CopiedBytes) / sourceBytes_;
    // Only each new hundredth reaches the window, so a tree of small files does not flood it.
    const long long step = std::llround(share * 100.0);
    if (step == progressStep_) return;
    progressStep_ = step;
    with_.window.SetProgress(share);
}

std::wstring FolderWalk::HoldUnlistableFolder(const std::wstring& path) {
    const std::wstring& rootName = with_.state.RootFolderName;
    std::wstring relative;
    if (!rootName.empty()) {
        const size_t first = path.find(rootName);
        if (first != std::wstring::npos) {
            const size_t from = first + rootName.size();
            const size_t next = path.find(rootName, from);
            relative =
                path.substr(from, next == std::wstring::npos ? std::wstring::npos : next - from);
        }
    }
    const std::wstring holding =
        ReplaceAll(L"d:/KSRtemp/" + rootName + DirectoryPart(relative), L'/', L'\\');
    // Nothing is written through a link on the holding directory's way either.
    const std::wstring copy = WithSeparator(holding) + LastPathSegment(path).value_or(L"");
    if (const Status plain = CheckNoLinkBelow(L"\\\\?\\d:\\", ToExtendedPath(copy)); !plain) {
        return LinkInTheWay(plain.error());
    }
    // A check copies nothing; the folder is reported as a run would.
    if (with_.places.checkOnly) return {};
    // Without drive D: every step fails quietly; the folder is still reported.
    const std::wstring listed = with_.places.ListedFinal(path);
    const std::wstring root = listed.empty() ? std::wstring() : with_.places.sourceRoot;
    const ListingResult copied = CopyFolderInto(path, holding, {listed, root});
    if (copied.started && !copied.complete()) {
        SubmitFailure(WithSeparator(path), ItemKind::FolderNotImported,
                      reason::kListingBroken + Win32Reason(copied.error()));
    }
    return {};
}

std::shared_ptr<const FileUnit> FolderWalk::MakeUnit(const Listed& folder,
                                                     const WIN32_FIND_DATAW& entry) const {
    const std::wstring name = entry.cFileName;
    auto unit = std::make_shared<FileUnit>();
    unit->source = folder.path + name;
    unit->cleaned = CleanFileName(name);
    unit->FilPath = folder.filDir + unit->cleaned;
    unit->ParentID = folder.ParentID;
    unit->MyID = folder.MyID;
    unit->place = {with_.places.ListedFinal(unit->source), with_.places.sourceRoot};
    // Read before the copy is handed out, so before it can create the store file.
    unit->rowsFloor = with_.writer.RowsFloor();
    // Listed as a link (on Windows): even when its handle turns out to be the listed file,
    // deleting it is left to the operator.
    unit->link = entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
    return unit;
}

std::wstring FolderWalk::EarlierCopy(const FileUnit& unit, StorePlan::Claim claim,
                                     const std::shared_ptr<const CopyJob>& job) {
    if (!with_.places.checkOnly) return {};
    if (claim == StorePlan::Claim::First && !plan_.Shared(unit.FilPath)) return {};
    std::shared_ptr<const CopyJob>& holder = checkedPaths_[StoreKey(unit.FilPath)];
    // The pipeline was drained for an earlier claim: its check is done. Once a copy would have
    // created the store file, it stays; until then the store holds what it held before the run.
    if (holder && holder->copy.wouldCreate) return ExtendedFromAbsolute(holder->source);
    holder = job;
    return {};
}

void FolderWalk::ImportFile(const Listed& folder, const WIN32_FIND_DATAW& entry) {
    const uint64_t size = (static_cast<uint64_t>(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
    const RunPlaces& places = with_.places;
    const std::shared_ptr<const FileUnit> unit = MakeUnit(folder, entry);
    ++with_.tally.filesReached;
    with_.state.CopiedBytes += size;
    ShowProgress();

    // Cut short or refused by the server, its rows would name no store file.
    if (!places.limits.FileFits(unit->cleaned, unit->FilPath)) {
        SubmitFailure(unit->source, ItemKind::FileNotImported, reason::kNameTooLong);
        return;
    }
    // An earlier file of this run may have written the same store file (names that clean alike
    // or differ only in letter case): it is copied, committed and settled first, so this one
    // meets the store file as it stays.
    const StorePlan::Claim claim = plan_.ClaimPath(unit->FilPath);
    if (claim == StorePlan::Claim::Again) pipeline_->Drain();

    // The copy may run beside other copies; its rows are written in listing order.
    auto job = std::make_shared<CopyJob>();
    job->source = unit->source;
    const std::wstring target = places.StorePath(unit->FilPath);
    const CopyPurpose purpose = places.deleteSources && !unit->link
                                    ? CopyPurpose::ImportThenDeleteVerifyLater
                                    : CopyPurpose::Import;
    const std::wstring sameAs = EarlierCopy(*unit, claim, job);
    Submit(
        [job, unit, target, purpose, sameAs, places = &places] {
            try {
                job->copy = CopyOrCheck(*places, *unit, target, purpose, sameAs);
            } catch (...) {
                // The copy removed its partial store file on the way out.
                job->fault = ErrorReason(UnexpectedFailure());
            }
        },
        [this, job, unit] {
            RowWriter& writer = with_.writer;
            try {
                if (!job->fault) {
                    writer.AddFile(job->copy, *unit);
                    return;
                }
            } catch (...) {
                (void)DiscardStoreCopy(job->copy);
                job->fault = ErrorReason(UnexpectedFailure());
            }
            RunEvents events;
            events.Failure(unit->source, ItemKind::FileNotImported, *job->fault);
            writer.Add(std::move(events));
        });
}

bool FolderWalk::HoldListedFolder(const std::wstring& path, unique_hfile& held) {
    const std::wstring listed = with_.places.ListedFinal(path);
    if (listed.empty()) return true;
    // Held without delete sharing, it can't be renamed or swapped for a link while it is listed.
    held.reset(CreateFileW(ExtendedFromAbsolute(path).c_str(), FILE_LIST_DIRECTORY,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // What can't be opened can't be listed either; the listing reports it.
    if (!held) return true;
    FILE_ATTRIBUTE_TAG_INFO tag{};
    const bool plain =
        GetFileInformationByHandleEx(held.get(), FileAttributeTagInfo, &tag, sizeof tag) &&
        !(tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    const Result<HeldAt> at = WhereHeld(held.get(), listed, with_.places.sourceRoot);
    if (plain && at && *at == HeldAt::Listed) return true;
    SubmitFailure(path, ItemKind::FolderNotImported, reason::kDirectoryLink);
    return false;
}

void FolderWalk::ReportGoneFiles(const std::wstring& path, std::vector<std::wstring>& listed) {
    const auto surveyed = surveyedFiles_.find(path);
    if (surveyed == surveyedFiles_.end()) return;
    const std::wstring names = std::move(surveyed->second);
    surveyedFiles_.erase(surveyed);
    std::sort(listed.begin(), listed.end());
    for (size_t at = 0; at < names.size();) {
        const size_t end = names.find(L'\0', at);
        const std::wstring name = names.substr(at, end - at);
        at = end + 1;
        if (!std::binary_search(listed.begin(), listed.end(), name)) {
            SubmitFailure(path + name, ItemKind::FileNotImported, reason::kFileGone);
        }
    }
}

void FolderWalk::RegisterSubFolder(const Listed& folder, const std::wstring& name,
                                   std::vector<SubFolder>& subFolders) {
    ++with_.tally.foldersReached;
    auto id = std::make_shared<std::promise<std::optional<std::wstring>>>();
    subFolders.push_back({name, id->get_future()});
    const bool cleaned = FolderNameNeedsCleaning(name);
    Submit({}, [this, id, cleaned, path = folder.path + name, name = CleanFolderName(name),
                ParentID = folder.ParentID, MyID = folder.MyID] {
        std::optional<std::wstring> got;
        RunEvents events;
        try {
            if (cleaned) {
                events.Line(ActivityLine(ActivityType::NameCleaned, path, logtext::kFolderCleaned));
            }
            Result<RegisteredFolder> registered = with_.folders.Register(name, ParentID, MyID);
            // Without its own id the sub-tree would land under an empty parent or another
            // folder; it waits for the next run instead.
            if (registered) {
                if (!registered->found) with_.record.FolderImported();
                got = std::move(registered->id);
            } else {
                events.Failure(path + L"\\", ItemKind::FolderNotImported,
                               with_.folders.Reason(registered.error()));
            }
        } catch (...) {
            got.reset();
            events.Failure(path + L"\\", ItemKind::FolderNotImported,
                           ErrorReason(UnexpectedFailure()));
        }
        id->set_value(got);
        with_.writer.Add(std::move(events));
    });
}

void FolderWalk::TakeEntry(const Listed& folder, const WIN32_FIND_DATAW& entry,
                           std::vector<std::wstring>& files, std::vector<SubFolder>& subFolders) {
    const std::wstring name = entry.cFileName;
    const bool isFolder = entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY;
    const std::wstring path = folder.path + name;
    if (!isFolder) files.push_back(name);
    // Explorer marks customised folders as system ones; only system files stay out.
    if (!isFolder && (entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM)) {
        RunEvents events;
        events.Skipped(path);
        Submit({}, [this, events = std::move(events)]() mutable {
            with_.writer.Add(std::move(events));
        });
        return;
    }
    // Copied under the name Windows would make of it, it would be another file; and a name whose
    // cleaned form ends in a blank or is a device could not be opened from its row.
    const std::wstring cleaned = isFolder ? CleanFolderName(name) : CleanFileName(name);
    if (IsAlteredByPathParsing(name) || IsAlteredByPathParsing(cleaned)) {
        SubmitFailure(isFolder ? path + L"\\" : path,
                      isFolder ? ItemKind::FolderNotImported : ItemKind::FileNotImported,
                      reason::kNameNotServable);
        return;
    }
    if (!isFolder) {
        ImportFile(folder, entry);
    } else if (IsDirectoryLink(entry.dwFileAttributes)) {
        SubmitFailure(path + L"\\", ItemKind::FolderNotImported, reason::kDirectoryLink);
    } else {
        RegisterSubFolder(folder, name, subFolders);
    }
}

std::vector<FolderWalk::SubFolder> FolderWalk::ListFolder(const Listed& folder) {
    std::vector<SubFolder> subFolders;
    unique_hfile held;
    if (!HoldListedFolder(folder.path, held)) return subFolders;
    std::vector<std::wstring> files;  // every file name listed, for the survey's to be found
    const ListingResult listing =
        ListDirectory(ExtendedFromAbsolute(folder.path), [&](const WIN32_FIND_DATAW& entry) {
            if (StopRequested()) return false;
            TakeEntry(folder, entry, files, subFolders);
            return true;
        });
    if (!listing.started) {
        const std::wstring notHeld =
            HoldUnlistableFolder(folder.path.substr(0, folder.path.size() - 1));
        SubmitFailure(
            folder.path, ItemKind::FolderNotImported,
            notHeld.empty() ? reason::kUnlistable + Win32Reason(listing.error()) : notHeld);
        return subFolders;
    }
    // What was listed is imported; the rest of the folder is reported.
    if (!listing.complete()) {
        ReportBrokenListing(folder.path, listing.status.error());
    } else if (!StopRequested()) {
        ReportGoneFiles(folder.path, files);
    }
    return subFolders;
}

bool FolderWalk::PrepareStoreDirectory(const std::wstring& folder, const std::wstring& parentDir,
                                       const std::wstring& filDir) {
    const RunPlaces& places = with_.places;
    // Levels above were checked on the way down.
    if (const Status plain =
            CheckNoLinkBelow(places.StorePath(parentDir), places.StorePath(filDir));
        !plain) {
        SubmitFailure(folder, ItemKind::FolderNotImported, LinkInTheWay(plain.error()));
        return false;
    }
    // Its files still try, and report, their own copies. A check makes nothing but meets what
    // making the levels would.
    const std::wstring directory = places.StorePath(filDir);
    if (const Status made = places.checkOnly ? DirectoryLevelsCouldBeMade(directory)
                                             : CreateDirectoryLevels(directory);
        !made) {
        SubmitFailure(folder, ItemKind::FolderNotImported,
                      reason::kStoreDirectory + Win32Reason(made.error().win32));
    }
    return true;
}

void FolderWalk::Walk(OrderedPipeline& pipeline, std::wstring source, std::wstring target,
                      const std::wstring& ParentID, const std::wstring& MyID) {
    // An empty path would name the root of the current drive.
    if (source.empty()) return;
    pipeline_ = &pipeline;
    source = WithSeparator(source);
    if (!target.ends_with(L'/')) target += L'/';

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
        levels.push_back({ListFolder({source, target, id, MyID}), 0, source.size(), target.size()});
        bool descending = false;
        while (!levels.empty() && !descending) {
            Level& level = levels.back();
            source.resize(level.pathSize);
            target.resize(level.dirSize);
            if (level.next == level.folders.size()) {
                levels.pop_back();
                continue;
            }
            SubFolder& folder = level.folders[level.next++];
            std::optional<std::wstring> got = folder.id.get();
            if (!got || StopRequested()) continue;
            target += ReplaceAll(CleanFolderName(folder.name), L'\\', L'/');
            if (!PrepareStoreDirectory(source + folder.name + L"\\",
                                       target.substr(0, level.dirSize), target)) {
                continue;
            }
            source += folder.name + L"\\";
            target += L'/';
            id = *std::move(got);
            descending = true;
        }
        if (!descending) break;
    }
    pipeline_ = nullptr;
}

}  // namespace ksr
