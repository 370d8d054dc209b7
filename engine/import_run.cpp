#include "engine/importer.h"

#include <windows.h>

#include <cwchar>
#include <utility>

#include "engine/activity_log.h"
#include "engine/file_transfer.h"
#include "engine/failure_reason.h"
#include "engine/run_report.h"
#include "engine/run_statements.h"
#include "engine/source_survey.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "server/connection_string.h"
#include "server/ini.h"
#include "server/registry.h"
#include "util/codecs.h"
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

// The survey's byte total as the run state keeps it (decimal text); 0 when there is none.
double ByteTotal(const std::wstring& text) {
    wchar_t* end = nullptr;
    const double total = std::wcstod(text.c_str(), &end);
    if (text.empty() || *end != L'\0' || !(total > 0)) return 0;
    return total;
}

std::wstring Widen(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring out(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    return out;
}

}  // namespace

Importer::Importer(ImportState& state, ImportWindow& window) : state_(state), window_(window) {}

void Importer::DeferLine(std::function<void()> report) {
    // A line may open a batch (while the last one's sources are deleted): the batch's time
    // bound starts with it.
    if (batch_.empty()) batchStarted_ = GetTickCount64();
    batch_.push_back({nullptr, std::move(report)});
}

void Importer::AddLine(const std::wstring& line) {
    if (Deferring()) {
        DeferLine([this, line] { AddLine(line); });
        return;
    }
    lines_.push_back(line);
    window_.AddList1(line);
}

void Importer::ReportFailure(const std::wstring& subject, const wchar_t* message,
                             const std::wstring& reason) {
    // Lines keep the walk's order: one met after files whose rows are still in the batch
    // waits for them.
    if (Deferring()) {
        DeferLine([this, subject, message, reason] { ReportFailure(subject, message, reason); });
        return;
    }
    AddLine(ActivityLine(ActivityType::FolderFailed, subject, message));
    failures_.push_back({subject, message, reason});
    ++failedItems_;
}

void Importer::SubmitFailure(const std::wstring& subject, const wchar_t* message,
                             std::wstring reason) {
    Submit({}, [this, subject, message, reason = std::move(reason)] {
        ReportFailure(subject, message, reason);
    });
}

void Importer::EndRun() {
    watch_.reset();
    db_.reset();
    folderDb_.reset();
    progressStep_ = -1;
    state_.DeleteAfterImport = false;
}

void Importer::Refuse(RunOutcome::Refusal refusal, std::wstring overlap) {
    RunOutcome outcome;
    outcome.ending = RunOutcome::Ending::Refused;
    outcome.refusal = refusal;
    outcome.overlap = std::move(overlap);
    window_.RunEnded(outcome);
    state_.DeleteAfterImport = false;
}

bool Importer::StopRequested() {
    if (!stopped_ && ((watch_ && watch_->Stopped()) || window_.StopRequested())) {
        stopped_ = true;
        if (watch_) watch_->Stop();
    }
    return stopped_ || databaseLost_;
}

bool Importer::DatabaseBack(DbSession& session) {
    if (databaseLost_) return false;
    if (session.Open().ok()) return true;
    databaseLost_ = true;
    return false;
}

void Importer::DatabaseNotAnswering() {
    databaseSilent_ = true;
    databaseLost_ = true;
}

std::wstring Importer::StorePath(const std::wstring& filPath) const {
    return storeRoot_ + L"\\" + ReplaceAll(filPath, L'/', L'\\');
}

Status Importer::serverlog() {
    return ksr::serverlog(lines_, state_.KSR_CONSOLE);
}

size_t Importer::NotReached() const {
    // Only a run that ended early leaves files behind; otherwise the survey and the walk differ
    // only by files that came or went in between.
    if (!databaseLost_ && !stopped_) return 0;
    return filesExpected_ > filesReached_ ? filesExpected_ - filesReached_ : 0;
}

RunOutcome Importer::Outcome(bool logWritten) const {
    RunOutcome outcome;
    const uint64_t failed = static_cast<uint64_t>(failedItems_);
    if (databaseSilent_) {
        outcome.ending = RunOutcome::Ending::DatabaseNotAnswering;
        outcome.notImported = failed + NotReached();
    } else if (databaseLost_) {
        outcome.ending = RunOutcome::Ending::DatabaseLost;
        outcome.notImported = failed + NotReached();
    } else if (stopped_) {
        outcome.ending = RunOutcome::Ending::Stopped;
        outcome.notImported = failed + NotReached();
    } else if (failed > 0) {
        outcome.ending = RunOutcome::Ending::PartlyFailed;
        outcome.notImported = failed;
    }
    if (!failures_.empty()) outcome.reportPath = reportPath_;
    outcome.logWritten = logWritten;
    outcome.versionsBumped = versionsBumped_;
    return outcome;
}

void Importer::Walk(const std::wstring& source, const std::wstring& text2,
                    const std::wstring& target, const std::wstring& rootName, bool rootMode) {
    if (Result<SourceSurvey> survey = SurveyFolder(source, target + L"/")) {
        uint64_t total = survey->bytes;
        if (!text2.empty()) total += FolderSize(text2).value_or(0);
        state_.SourceBytesTotal = std::to_wstring(total);
        filesExpected_ = survey->files;
        plan_ = StorePlan(std::move(survey->storeKeys));
        surveyedFiles_ = std::move(survey->filesByFolder);
        for (const Error& broken : survey->brokenFolders) ReportBrokenListing(broken.path, broken);
    }
    sourceBytes_ = ByteTotal(state_.SourceBytesTotal);

    // Nothing is written through a link in the store: the levels below its root that the walk
    // writes into must be plain folders.
    if (const Status plain = CheckNoLinkBelow(storeRoot_, StorePath(target)); !plain) {
        ReportFailure(WithSeparator(source), logtext::kFolderFailed, LinkInTheWay(plain.error()));
        return;
    }
    std::wstring rootId = L"0";
    if (rootMode) {
        // A root that can't be registered is reported there; nothing below it is imported.
        Result<std::wstring> root = genfolder(source, kPublicDir, L"0", kPublicOwner);
        if (!root) return;
        rootId = std::move(root).value();
    } else {
        state_.RootFolderName = rootName;
    }
    pipeline_.emplace(kCopyThreads, kUnitsInFlight,
                      [this](bool finish) { return FlushBatch(finish); });
    sosuofile(source, target, rootId, kPublicOwner);
    pipeline_->Drain();  // waits for the last rows
    if (pipeline_->Faults() > 0) {
        ReportFailure(WithSeparator(source), logtext::kFolderFailed, reason::kUnexpected);
    }
    pipeline_.reset();
    surveyedFiles_.clear();
}

void Importer::WriteReport(const SYSTEMTIME& started, ULONGLONG startTick) {
    RunSummary summary;
    summary.started = started;
    summary.seconds = static_cast<double>(GetTickCount64() - startTick) / 1000.0;
    summary.filesImported = filesImported_;
    summary.foldersImported = foldersImported_;
    summary.bytesImported = bytesImported_;
    summary.itemsNotImported = static_cast<uint64_t>(failedItems_) + NotReached();
    std::vector<ReportItem> items;
    items.reserve(failures_.size());
    for (const Failure& failure : failures_) {
        const wchar_t* kind = failure.message == logtext::kFileFailed   ? logtext::kKindFile
                              : failure.message == logtext::kSourceKept ? logtext::kKindSourceKept
                                                                        : logtext::kKindFolder;
        items.push_back({failure.path, kind, failure.reason});
    }
    for (const std::wstring& path : skipped_) {
        items.push_back({path, logtext::kKindSkipped, reason::kSystemFile});
    }
    reportPath_.clear();
    const Result<std::wstring> directory =
        reportDirectory_ ? Result<std::wstring>(*reportDirectory_) : DefaultReportDirectory();
    if (!directory) return;
    reportPath_ = WriteRunReport(*directory, summary, items).value_or(L"");
}

void Importer::importfile() {
    // A watch left by a run that ended by an exception must not see the sessions rebuilt.
    watch_.reset();
    const std::wstring text1 = window_.Text1();
    const std::wstring text2 = window_.Text2();
    // Only Text1 is ever walked: with it empty there is nothing the operator chose to import.
    // A typed path must name a folder on this machine by itself: a relative one would resolve
    // against whatever the current directory happens to be.
    const std::wstring typed = ReplaceAll(PercentDecode(text1), L'/', L'\\');
    if (text1.empty() || !IsAbsoluteLocalPath(typed)) {
        Refuse(RunOutcome::Refusal::NoFolderChosen);
        return;
    }
    const Result<std::wstring> registered =
        ReadRegistryString(registration_.root, registration_.subkey, registration_.value);
    if (!registered) {
        Refuse(RunOutcome::Refusal::NotOnServer);
        return;
    }
    const std::wstring& exe = *registered;

    window_.SetText3(exe);
    state_.InstallDir = DirectoryPart(exe);
    if (!state_.InstallDir.empty()) state_.InstallDir.pop_back();
    state_.IniPath = state_.InstallDir + L"\\public\\Data\\DataBase.ini";
    const auto ini = [&](const wchar_t* key) {
        return ReadIniString(state_.IniPath, L"server_connection", key);
    };
    ServerSettings settings;
    settings.type = state_.DB_TYPE = ini(L"DB_TYPE");
    settings.server = ini(L"DB_SERVER");
    settings.port = ini(L"DB_PORT");
    settings.name = ini(L"DB_NAME");
    settings.user = ini(L"DB_USER");
    settings.password = ini(L"DB_PWD");
    state_.ConnString = BuildConnectionString(settings);

    // One session serves the settings and the whole walk.
    db_.emplace(state_.ConnString, loginTimeout_, statementTimeout_);
    // Folders get a connection of their own: a folder's id is needed before the walk can go
    // below it, while file rows wait to be written in batches on the first one.
    folderDb_.emplace(state_.ConnString, loginTimeout_, statementTimeout_);
    if (const Status opened = db_->Open(); !opened) {
        RunOutcome outcome;
        outcome.ending = RunOutcome::Ending::DatabaseUnreachable;
        outcome.driverMessage = DriverMessage(opened.error(), settings.password);
        window_.RunEnded(outcome);
        EndRun();
        return;
    }
    const Result<std::optional<std::wstring>> root = db_->QueryValue(kStoreRootQuery, L"Col_Data");
    if (root && *root) state_.KSR_CONSOLE = ReplaceAll(**root, L'/', L'\\');
    if (state_.KSR_CONSOLE.empty()) {
        RunOutcome outcome;
        outcome.ending = RunOutcome::Ending::NoStoreRoot;
        window_.RunEnded(outcome);
        EndRun();
        return;
    }

    // The folder to import, as typed or picked; every path below it is built from raw names.
    std::wstring source = typed;
    if (source.size() > 3 && source.ends_with(L'\\')) source.pop_back();
    // Importing the store into itself, or the holding directory into the store, would move and
    // (with deletion) destroy the server's own files.
    const std::wstring resolved = ResolveFolder(source).value_or(source);
    const std::wstring storeRoot = ResolveFolder(state_.KSR_CONSOLE).value_or(state_.KSR_CONSOLE);
    const std::wstring holding = ResolveFolder(kHoldingRoot).value_or(kHoldingRoot);
    const std::wstring* overlap = nullptr;
    if (PathContains(resolved, storeRoot) || PathContains(storeRoot, resolved)) {
        overlap = &state_.KSR_CONSOLE;
    } else if (PathContains(resolved, holding)) {
        overlap = &holding;
    }
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
        if (overlap || folder.empty()) continue;
        const std::wstring server = ResolveFolder(folder).value_or(folder);
        if (PathContains(resolved, server) || PathContains(server, resolved)) overlap = &folder;
    }
    if (overlap) {
        db_.reset();
        Refuse(RunOutcome::Refusal::FolderOverlaps, *overlap);
        return;
    }
    watch_.emplace(std::vector<DbSession*>{&*db_, &*folderDb_},
                   [this] { return window_.StopRequested(); });
    versionsBumped_ = db_->Execute(kBumpVersions).ok();

    SYSTEMTIME started;
    GetLocalTime(&started);
    const ULONGLONG startTick = GetTickCount64();
    window_.ClearList1();
    lines_.clear();
    failures_.clear();
    skipped_.clear();
    filesImported_ = foldersImported_ = bytesImported_ = 0;
    brokenReported_.clear();
    failedItems_ = 0;
    stopped_ = false;
    databaseLost_ = false;
    databaseSilent_ = false;
    progressStep_ = -1;
    state_.CopiedBytes = 0;
    storeRoot_ = ToExtendedPath(state_.KSR_CONSOLE);
    while (storeRoot_.ends_with(L'\\')) storeRoot_.pop_back();

    const std::wstring rootName = LastPathSegment(source).value_or(L"");
    const bool rootMode = window_.Check2();
    const std::wstring target =
        rootMode ? std::wstring(kPublicDir) + L"/" + CleanFolderName(rootName) : kPublicDir;

    state_.SourceBytesTotal.clear();
    sourceBytes_ = 0;
    filesExpected_ = filesReached_ = 0;
    plan_ = StorePlan();
    sourceTyped_ = WithSeparator(source);
    sourceRoot_ = WithSeparator(resolved);
    try {
        Walk(source, text2, target, rootName, rootMode);
    } catch (const std::exception& error) {
        pipeline_.reset();
        ReportFailure(WithSeparator(source), logtext::kFolderFailed,
                      reason::kUnexpected + Widen(error.what()));
    } catch (...) {
        pipeline_.reset();
        ReportFailure(WithSeparator(source), logtext::kFolderFailed, reason::kUnexpected);
    }
    // Clients that refreshed when the run began learn of what it added.
    if (filesImported_ + foldersImported_ > 0 && !databaseLost_) {
        versionsBumped_ = db_->Execute(kBumpVersions).ok() && versionsBumped_;
    }
    if (watch_ && watch_->Stopped()) stopped_ = true;
    watch_.reset();
    if (databaseLost_ || stopped_) {
        // One line stands for everything below the chosen folder that the run did not reach.
        AddLine(ActivityLine(ActivityType::FolderFailed, WithSeparator(source),
                             logtext::kFolderFailed));
        failures_.push_back({WithSeparator(source), logtext::kFolderFailed,
                             databaseSilent_ ? reason::kDatabaseNotAnswering
                             : databaseLost_ ? reason::kDatabaseLost
                                             : reason::kStopped});
    }

    // The log is written first, so the end message can say whether it was.
    const bool logWritten = serverlog().ok();
    WriteReport(started, startTick);
    window_.RunEnded(Outcome(logWritten));
    EndRun();
}

}  // namespace ksr
