#include "engine/importer.h"

#include <windows.h>

#include <utility>

#include "engine/activity_log.h"
#include "engine/failure_reason.h"
#include "engine/folder_registrar.h"
#include "engine/log_texts.h"
#include "engine/name_limits.h"
#include "engine/names.h"
#include "engine/ordered_pipeline.h"
#include "engine/row_writer.h"
#include "engine/run_statements.h"
#include "engine/store_room.h"
#include "server/connection_string.h"
#include "server/ini.h"
#include "server/registry.h"
#include "util/held_path.h"
#include "util/paths.h"

namespace ksr {
namespace {

constexpr wchar_t kPublicDir[] = L"DownLoad/Public";
constexpr wchar_t kPublicOwner[] = L"Public";
constexpr wchar_t kHoldingRoot[] = L"d:\\KSRtemp";
// Two copies at a time keep both cores busy (a large file's digest runs beside its copy).
constexpr unsigned kCopyThreads = 2;
constexpr size_t kUnitsInFlight = 32;

// The driver's own words, without the password should a driver ever quote it.
std::wstring DriverMessage(const Error& error, const std::wstring& password) {
    std::wstring text = error.message.empty() ? L"SQLSTATE " + error.sqlstate : error.message;
    if (password.empty()) return text;
    for (size_t at = text.find(password); at != std::wstring::npos;
         at = text.find(password, at + 4)) {
        text.replace(at, password.size(), L"****");
    }
    return text;
}

}  // namespace

Importer::Importer(ImportState& state, ImportWindow& window)
    : state_(state), window_(window), record_(window) {}

void Importer::importfile() {
    // A watch left by a run that ended by an exception must not see the sessions rebuilt.
    watch_.reset();
    const std::optional<std::wstring> source = ChosenFolder();
    if (!source || !ConnectToServer()) return;
    // Importing the store into itself, or the holding directory into the store, would move and
    // (with deletion) destroy the server's own files.
    const std::wstring resolved = ResolveFolder(*source).value_or(*source);
    if (std::optional<std::wstring> overlap = Overlap(resolved)) {
        db_.reset();
        RunOutcome named;
        named.overlap = std::move(*overlap);
        Refuse(RunOutcome::Refusal::FolderOverlaps, std::move(named));
        return;
    }
    StartRun(*source, resolved);
    SYSTEMTIME started;
    GetLocalTime(&started);
    const ULONGLONG startTick = GetTickCount64();

    const std::wstring rootName = LastPathSegment(*source).value_or(L"");
    const bool rootMode = window_.Check2();
    const std::wstring target =
        rootMode ? std::wstring(kPublicDir) + L"/" + CleanFolderName(rootName) : kPublicDir;
    bool refused = false;
    try {
        refused = !Walk(*source, window_.Text2(), target, rootName, rootMode);
    } catch (...) {
        record_.Failure(WithSeparator(*source), ItemKind::FolderNotImported,
                        ErrorReason(UnexpectedFailure()));
    }
    // A run refused for want of room wrote nothing: no log lines, no report.
    if (refused) {
        EndRun();
        return;
    }
    FinishRun(*source, started, startTick);
}

std::optional<std::wstring> Importer::ChosenFolder() {
    const std::wstring text1 = window_.Text1();
    // Only Text1 is ever walked: with it empty there is nothing the operator chose to import.
    // A typed path must name a folder on this machine by itself: a relative one would resolve
    // against whatever the current directory happens to be.
    std::wstring source = ReplaceAll(text1, L'/', L'\\');
    if (text1.empty() || !IsAbsoluteLocalPath(source)) {
        Refuse(RunOutcome::Refusal::NoFolderChosen);
        return std::nullopt;
    }
    // Every path below it is built from raw names.
    if (source.size() > 3 && source.ends_with(L'\\')) source.pop_back();
    return source;
}

bool Importer::ConnectToServer() {
    const Result<std::wstring> exe =
        ReadRegistryString(registration_.root, registration_.subkey, registration_.value);
    if (!exe) {
        Refuse(RunOutcome::Refusal::NotOnServer);
        return false;
    }
    window_.SetText3(*exe);
    state_.InstallDir = DirectoryPart(*exe);
    if (!state_.InstallDir.empty()) state_.InstallDir.pop_back();
    state_.IniPath = state_.InstallDir + L"\\public\\Data\\DataBase.ini";
    const auto ini = [&](const wchar_t* key) {
        return ReadIniString(state_.IniPath, L"server_connection", key);
    };
    ServerSettings settings;
    settings.type = state_.DB_TYPE = ini(L"DB_TYPE");
    settings.server = ini(L"DB_SERVER");
    settings.port = ini(L"DB_PORT");
    settings.name = databaseName_ = ini(L"DB_NAME");
    settings.user = ini(L"DB_USER");
    settings.password = ini(L"DB_PWD");
    state_.ConnString = BuildConnectionString(settings);

    // One session serves the settings and the file rows of the whole walk; folders get their own.
    db_.emplace(state_.ConnString, loginTimeout_, statementTimeout_);
    folderDb_.emplace(state_.ConnString, loginTimeout_, statementTimeout_);
    RunOutcome outcome;
    if (const Status opened = db_->Open(); !opened) {
        outcome.ending = RunOutcome::Ending::DatabaseUnreachable;
        outcome.driverMessage = DriverMessage(opened.error(), settings.password);
    } else {
        const Result<std::optional<std::wstring>> root =
            db_->QueryValue(kStoreRootQuery, L"Col_Data");
        if (root && *root) state_.KSR_CONSOLE = ReplaceAll(**root, L'/', L'\\');
        if (!state_.KSR_CONSOLE.empty()) return true;
        outcome.ending = RunOutcome::Ending::NoStoreRoot;
    }
    window_.RunEnded(outcome);
    EndRun();
    return false;
}

std::optional<std::wstring> Importer::Overlap(const std::wstring& resolved) {
    const std::wstring storeRoot = ResolveFolder(state_.KSR_CONSOLE).value_or(state_.KSR_CONSOLE);
    if (PathContains(resolved, storeRoot) || PathContains(storeRoot, resolved)) {
        return state_.KSR_CONSOLE;
    }
    const std::wstring holding = ResolveFolder(kHoldingRoot).value_or(kHoldingRoot);
    if (PathContains(resolved, holding)) return holding;
    // Nor may it hold, or lie inside, the server's own program, settings or database files.
    std::vector<std::wstring> serverFolders{state_.InstallDir, DirectoryPart(state_.IniPath)};
    if (state_.DB_TYPE == L"mysql") {
        // A server on Windows names its data directory as a Windows path; any other form (a
        // Unix server's) names no folder of this machine.
        const Result<std::optional<std::wstring>> datadir = db_->QueryValue(kDataDirMySql, L"d");
        if (datadir && *datadir && IsAbsoluteLocalPath(WithSeparator(**datadir))) {
            serverFolders.push_back(**datadir);
        }
    }
    for (const std::wstring& folder : serverFolders) {
        if (folder.empty()) continue;
        const std::wstring server = ResolveFolder(folder).value_or(folder);
        if (PathContains(resolved, server) || PathContains(server, resolved)) return folder;
    }
    return std::nullopt;
}

void Importer::StartRun(const std::wstring& source, const std::wstring& resolved) {
    watch_.emplace(std::vector<DbSession*>{&*db_, &*folderDb_},
                   [this] { return window_.StopRequested(); });
    announced_ = false;
    figures_ = {};
    record_.Begin();
    flags_.Reset();
    tally_ = {};
    state_.CopiedBytes = 0;
    state_.SourceBytesTotal.clear();
    places_ = {};
    places_.storeRoot = ToExtendedPath(state_.KSR_CONSOLE);
    while (places_.storeRoot.ends_with(L'\\')) places_.storeRoot.pop_back();
    places_.storeShown = state_.KSR_CONSOLE;
    places_.sourceTyped = WithSeparator(source);
    places_.sourceRoot = WithSeparator(resolved);
    places_.mysql = state_.DB_TYPE == L"mysql";
    places_.database = databaseName_;
    places_.deleteSources = state_.DeleteAfterImport && !checkOnly_;
    places_.checkOnly = checkOnly_;
    // Without the catalogue's word no length is checked, and the server has the last word.
    places_.limits = ReadNameLimits(*db_, places_.mysql).value_or(NameLimits{});
}

bool Importer::Walk(const std::wstring& source, const std::wstring& text2,
                    const std::wstring& target, const std::wstring& rootName, bool rootMode) {
    StatementWatch* watch = watch_ ? &*watch_ : nullptr;
    FolderRegistrar folders(*folderDb_, places_, flags_);
    RowWriter writer(*db_, places_, flags_, record_, watch);
    FolderWalk walk({places_, state_, window_, flags_, watch, record_, writer, folders, tally_});
    walk.Survey(source, text2, target);
    // A store whose disk fills mid-run is left half-imported, and the server's own writes fail
    // after it: a folder the disk can't hold is refused before anything is written.
    figures_.files = tally_.filesExpected;
    if (const std::optional<uint64_t> bytes = walk.SurveyedBytes();
        bytes && RefusedForRoom(*bytes, walk.BytesToCopy())) {
        return false;
    }
    AnnounceRun();
    walk.ReportSurveyBreaks();
    ClaimPartialFolder();

    // Nothing is written through a link in the store: the levels below its root that the walk
    // writes into must be plain folders.
    if (const Status plain = CheckNoLinkBelow(places_.storeRoot, places_.StorePath(target));
        !plain) {
        record_.Failure(WithSeparator(source), ItemKind::FolderNotImported,
                        LinkInTheWay(plain.error()));
        return true;
    }
    std::wstring rootId = L"0";
    if (rootMode) {
        // A root that can't be registered is reported there; nothing below it is imported.
        Result<std::wstring> root = genfolder(source, kPublicDir, L"0", kPublicOwner, folders);
        if (!root) return true;
        rootId = std::move(root).value();
    } else {
        state_.RootFolderName = rootName;
    }
    // During the walk the record belongs to the pipeline's committing thread, which writes the
    // rows; the walk gets it back once the pipeline is drained.
    writer.ReadRowsFloor();
    folders.LetGo(true);
    OrderedPipeline pipeline(kCopyThreads, kUnitsInFlight, [&writer, &folders](bool finish) {
        folders.LetGo(finish);
        // While the folder lock is held the pipeline comes back to let it go.
        return writer.Flush(finish) || folders.HoldsLock();
    });
    walk.Walk(pipeline, source, target, rootId, kPublicOwner);
    pipeline.Drain();  // waits for the last rows
    figures_.folders = tally_.foldersReached + (rootMode ? 1 : 0);
    if (pipeline.Faults() > 0) {
        record_.Failure(WithSeparator(source), ItemKind::FolderNotImported, reason::kUnexpected);
    }
    return true;
}

bool Importer::RefusedForRoom(uint64_t bytes, uint64_t toCopy) {
    // Files the store holds already are not copied again.
    const uint64_t needed = RoomNeeded(toCopy);
    const Result<uint64_t> available = FreeBytesFor(places_.storeRoot);
    figures_.bytes = bytes;
    figures_.roomNeeded = needed;
    if (available) figures_.storeFree = *available;
    // Free space that can't be read refuses nothing: a disk that fills during the run fails
    // file by file, as it may anyway while other programs write to it. A check goes on to list
    // what else a run would not import; its summary says the room is short.
    if (!available || *available >= needed || places_.checkOnly) return false;
    RunOutcome figures;
    figures.roomNeeded = needed;
    figures.roomFree = *available;
    Refuse(RunOutcome::Refusal::NoRoom, std::move(figures));
    return true;
}

void Importer::ClaimPartialFolder() {
    if (places_.checkOnly) return;
    std::vector<std::wstring> removed;
    places_.noPartial = partial_.Claim(places_.storeRoot, places_.storeShown, removed);
    places_.partialDir = partial_.path();
    for (std::wstring& path : removed) record_.LeftoverRemoved(std::move(path));
}

void Importer::AnnounceRun() {
    versionsBumped_ = places_.checkOnly || db_->Execute(kBumpVersions).ok();
    announced_ = true;
}

void Importer::FinishRun(const std::wstring& source, const SYSTEMTIME& started,
                         ULONGLONG startTick) {
    // A run that ended before its room was checked began all the same.
    if (!announced_) AnnounceRun();
    // Clients that refreshed when the run began learn of what it added.
    if (record_.ImportedAny() && !flags_.databaseLost && !places_.checkOnly) {
        versionsBumped_ = db_->Execute(kBumpVersions).ok() && versionsBumped_;
    }
    if (watch_ && watch_->Stopped()) flags_.stopped = true;
    watch_.reset();
    if (flags_.Ending()) {
        // One line stands for everything below the chosen folder that the run did not reach.
        record_.NotReached(WithSeparator(source), flags_.databaseSilent
                                                      ? reason::kDatabaseNotAnswering
                                                  : flags_.databaseLost ? reason::kDatabaseLost
                                                                        : reason::kStopped);
    }
    // The log is written first, so the end message can say whether it was. A check writes
    // neither.
    const bool logWritten = places_.checkOnly || serverlog().ok();
    reportPath_ = places_.checkOnly
                      ? std::wstring()
                      : record_.WriteReport(reportDirectory_, started, startTick, NotReached());
    window_.RunEnded(Outcome(logWritten));
    EndRun();
}

Status Importer::serverlog() {
    return ksr::serverlog(record_.Lines(), state_.KSR_CONSOLE);
}

void Importer::EndRun() {
    watch_.reset();
    partial_.Release();
    places_.partialDir.clear();
    db_.reset();
    folderDb_.reset();
    state_.DeleteAfterImport = false;
}

void Importer::Refuse(RunOutcome::Refusal refusal, RunOutcome outcome) {
    outcome.ending = RunOutcome::Ending::Refused;
    outcome.refusal = refusal;
    window_.RunEnded(outcome);
    state_.DeleteAfterImport = false;
}

size_t Importer::NotReached() const {
    // Only a run that ended early leaves files behind; otherwise the survey and the walk differ
    // only by files that came or went in between.
    if (!flags_.Ending()) return 0;
    return tally_.filesExpected > tally_.filesReached ? tally_.filesExpected - tally_.filesReached
                                                      : 0;
}

RunOutcome Importer::Outcome(bool logWritten) const {
    RunOutcome outcome;
    const uint64_t failed = record_.FailedItems();
    if (flags_.databaseSilent) {
        outcome.ending = RunOutcome::Ending::DatabaseNotAnswering;
    } else if (flags_.databaseLost) {
        outcome.ending = RunOutcome::Ending::DatabaseLost;
    } else if (flags_.stopped) {
        outcome.ending = RunOutcome::Ending::Stopped;
    } else if (failed > 0) {
        outcome.ending = RunOutcome::Ending::PartlyFailed;
    }
    outcome.notImported = failed + NotReached();
    if (!record_.Failures().empty()) outcome.reportPath = reportPath_;
    outcome.logWritten = logWritten;
    outcome.versionsBumped = versionsBumped_;
    return outcome;
}

}  // namespace ksr
