#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <future>
#include <optional>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/import_state.h"
#include "engine/file_transfer.h"
#include "engine/import_window.h"
#include "engine/ordered_pipeline.h"
#include "engine/source_deleter.h"
#include "engine/store_verifier.h"
#include "engine/source_survey.h"
#include "engine/statement_watch.h"
#include "server/database.h"

namespace ksr {

// Where the server installation records its executable.
struct ServerRegistration {
    std::wstring root = L"HKEY_LOCAL_MACHINE";
    std::wstring subkey = L"Software\\mw-tz\\KvoServer";
    std::wstring value = L"exe";
};

// The import run and its two walkers. It reaches the window only through ImportWindow and
// keeps the run's activity lines (List1) for the server log.
class Importer {
  public:
    Importer(ImportState& state, ImportWindow& window);

    // The whole run behind "Start importing"; it ends by telling the window how it ended.
    void importfile();

    // Tests point the run at a registry key of their own.
    void SetRegistration(ServerRegistration registration) {
        registration_ = std::move(registration);
    }

    const std::vector<std::wstring>& List1() const { return lines_; }

    // One item the run did not import (or, for a source kept, did not delete), with why.
    struct Failure {
        std::wstring path;
        std::wstring message;  // the fixed text of its activity line
        std::wstring reason;
    };
    const std::vector<Failure>& Failures() const { return failures_; }

    // How long to wait for the database to connect and to answer one statement; tests that
    // stall the server wait less.
    void SetDatabaseTimeouts(unsigned loginSeconds, unsigned statementSeconds) {
        loginTimeout_ = loginSeconds;
        statementTimeout_ = statementSeconds;
    }

    // Where run reports go; tests choose a folder of their own.
    void SetReportDirectory(std::wstring directory) { reportDirectory_ = std::move(directory); }
    // The last run's report, empty when none was written.
    const std::wstring& ReportPath() const { return reportPath_; }

  private:
    // Imports the folder `MyPath` (a real path, never decoded again) into the store-relative
    // directory `fil_dir`, under the folder row `ParentID`, then walks its sub-folders.
    void sosuofile(std::wstring MyPath, std::wstring fil_dir, const std::wstring& ParentID,
                   const std::wstring& MyID);

    // Registers the selected folder itself and returns its folder id. When it can't, reports the
    // folder with why and fails: with the Win32 error and the folder's path, or the database's
    // error.
    [[nodiscard]] Result<std::wstring> genfolder(std::wstring MyPath, std::wstring fil_dir,
                                                 const std::wstring& ParentID,
                                                 const std::wstring& MyID);

    // Appends the run's activity lines to the server's daily log; fails with why it could not.
    [[nodiscard]] Status serverlog();

    struct SubFolder {
        std::wstring name;                            // as listed, before cleaning
        std::future<std::optional<std::wstring>> id;  // no value when it could not be read
    };

    // What CommitFile needs of one file besides its copy.
    struct FileUnit {
        std::wstring source;  // absolute path, as the activity lines show it
        std::wstring cleaned;
        std::wstring FilPath;
        std::wstring ParentID;
        std::wstring MyID;
        SourcePlace place;  // where its opened handle must be
        bool link = false;  // listed as a link: copied from its target, never deleted
    };

    void AddLine(const std::wstring& line);
    // Queues a line behind the batch's files, so lines keep the walk's order.
    void DeferLine(std::function<void()> report);
    void ReportFailure(const std::wstring& subject, const wchar_t* message,
                       const std::wstring& reason);
    // Reports from the walk go through the committer, so lines keep the walk's order.
    void SubmitFailure(const std::wstring& subject, const wchar_t* message, std::wstring reason);
    void EndRun();
    // The survey of the chosen folder, its registration in root mode, and the walk.
    void Walk(const std::wstring& source, const std::wstring& text2, const std::wstring& target,
              const std::wstring& rootName, bool rootMode);
    bool StopRequested();
    // A run turned away before anything is written.
    void Refuse(RunOutcome::Refusal refusal, std::wstring overlap = {});
    // How a run that reached the walk ended.
    RunOutcome Outcome(bool logWritten) const;
    // Files the survey found that a run ended early never reached: not imported either.
    size_t NotReached() const;
    void WriteReport(const SYSTEMTIME& started, ULONGLONG startTick);
    // After a connection-level failure of `session`: true when the database answers again;
    // otherwise the run stops after the file in hand.
    [[nodiscard]] bool DatabaseBack(DbSession& session);
    // Ends the run: the server took a new connection, yet its statements still got no answer.
    void DatabaseNotAnswering();
    // Inserts the folder row and returns its id. Fails with the database's error; with
    // ERROR_NOT_FOUND when the row just inserted could not be found; with ERROR_CONNECTION_ABORTED
    // when the database was lost before. FolderReason words the failure.
    [[nodiscard]] Result<std::wstring> RegisterFolder(const std::wstring& name,
                                                      const std::wstring& ParentID,
                                                      const std::wstring& MyID);
    // The reason of a folder that RegisterFolder failed to register, told right after.
    [[nodiscard]] std::wstring FolderReason(const Error& error) const;
    // A copied file whose rows wait in the batch.
    struct PendingFile {
        FileUnit unit;
        CopyResult copy;
        std::wstring guid;
        std::wstring sizeText;
        // Once its rows are written: why it failed, or why its source stays; and which of the
        // batch's deletions is its own.
        std::optional<std::wstring> failure;
        std::wstring kept;
        std::optional<size_t> deletion;
        // Its rows failed in a commit whose answer was lost: they may be in after all, so its
        // store copy stays.
        bool rowsUncertain = false;
        // The store copy's flush and read-back, under way until the batch is written.
        std::shared_ptr<StoreVerifier::Ticket> verify;
    };
    // The batch keeps files and the lines reported between them in walk order.
    struct BatchEntry {
        std::unique_ptr<PendingFile> file;
        std::function<void()> report;
    };
    struct RowsOutcome {
        Status status;
        bool committing = false;  // a failure came from the commit, which may have landed
    };
    // The pipeline's flush: writes the batch once it is large or old enough, or when told to.
    bool FlushBatch(bool finish);
    void WriteBatch();
    // Waits for the batch's store copies to be on disk as copied; a copy that is not fails.
    void AwaitStoreCopies(std::span<PendingFile* const> files);
    // Writes the files' rows; leaves why in `failures` for each file whose rows are not in.
    void WriteBatchRows(std::span<PendingFile* const> files,
                        std::vector<std::optional<std::wstring>>& failures);
    [[nodiscard]] RowsOutcome WriteRows(std::span<PendingFile* const> files);
    [[nodiscard]] Status InsertRows(std::span<PendingFile* const> files);
    // Whether the file's rows are in, after a commit whose answer was lost: the lost
    // connection's session is ended first; fails when the database can't tell.
    [[nodiscard]] Result<bool> RowsLanded(const PendingFile& file);
    // Settles the store file of a file whose rows are in (or failed, with why) and, when its
    // source is to go, hands the source over to `deletions`.
    void FinishFile(PendingFile& file, const std::optional<std::wstring>& failure,
                    std::vector<SourceDeleter::Item>& deletions);
    // Says what became of a file, once its source's deletion (if any) is done.
    void ReportFile(const PendingFile& file, std::span<const SourceDeleter::Item> deletions);
    // Reports the oldest batch whose sources are being deleted, in walk order, after waiting for
    // them.
    void SettleBatch();
    // Reports a batch's files and lines in walk order, with the outcome of its `deletions`.
    void ReportBatch(std::span<const BatchEntry> entries,
                     std::span<const SourceDeleter::Item> deletions);
    // True while lines must wait behind files whose rows are not written yet, or whose
    // sources are still being deleted.
    [[nodiscard]] bool Deferring() const {
        return (!batch_.empty() || !settling_.empty()) && !flushing_;
    }
    // Runs `work` and then `commit`; during a walk on the pipeline's threads, commits in order.
    void Submit(std::function<void()> work, std::function<void()> commit);
    void CommitFile(CopyResult& copy, const FileUnit& unit);
    // Why a file whose copy failed or was refused is not imported.
    [[nodiscard]] std::wstring CopyFailureReason(const CopyResult& copy,
                                                 const FileUnit& unit) const;
    // The final-path form `path` (below the chosen folder) has when it is no link; empty when
    // the chosen folder's own could not be had.
    [[nodiscard]] std::wstring ListedFinal(const std::wstring& path) const;
    // Opens the folder `MyPath` into `held` for its listing. False, with the folder reported,
    // when it is a link or no longer the folder its parent listed.
    bool HoldListedFolder(const std::wstring& MyPath, unique_hfile& held);
    // Lists the folder `MyPath`: imports its files and registers its sub-folders, which it
    // returns in listing order for the walk to descend into.
    std::vector<SubFolder> ListFolder(const std::wstring& MyPath, const std::wstring& fil_dir,
                                      const std::wstring& ParentID, const std::wstring& MyID);
    // Reports the files the survey found in `MyPath` that its listing (`listed`, file names)
    // no longer holds.
    void ReportGoneFiles(const std::wstring& MyPath, std::vector<std::wstring>& listed);
    void ImportOneFile(const std::wstring& MyPath, const std::wstring& fil_dir,
                       const WIN32_FIND_DATAW& entry, const std::wstring& ParentID,
                       const std::wstring& MyID);
    // Copies a folder that could not be listed into the holding directory; says why it did not,
    // when a link stood in the way.
    [[nodiscard]] std::wstring HoldUnlistableFolder(const std::wstring& MyPath);
    // Reports a folder whose listing broke off part-way with `error`, once.
    void ReportBrokenListing(const std::wstring& folder, const Error& error);
    // Tells the window the share of the source bytes copied, once it moved by a hundredth.
    void ShowProgress();
    // The "\\?\" form of a file or directory below the store root.
    std::wstring StorePath(const std::wstring& filPath) const;

    ImportState& state_;
    ImportWindow& window_;
    ServerRegistration registration_;
    std::optional<DbSession> db_;
    std::optional<DbSession> folderDb_;
    // From the first statement of the walk to the last: cancels what waits once stopped.
    std::optional<StatementWatch> watch_;
    std::vector<BatchEntry> batch_;
    size_t batchFiles_ = 0;
    ULONGLONG batchStarted_ = 0;
    bool flushing_ = false;
    // Batches written, oldest first, while their sources are deleted; their lines wait until
    // then.
    std::deque<std::vector<BatchEntry>> settling_;
    SourceDeleter deleter_;
    // Made on the first copy that needs it: flushes store copies many at once.
    std::optional<StoreVerifier> verifier_;
    // During the walk: file copies on two threads, rows and lines on one, in listing order.
    std::optional<OrderedPipeline> pipeline_;
    std::vector<std::wstring> lines_;
    std::vector<Failure> failures_;
    int failedItems_ = 0;
    bool stopped_ = false;
    std::atomic<bool> databaseLost_{false};
    // Set with databaseLost_: the server took connections but answered no statement.
    std::atomic<bool> databaseSilent_{false};
    bool versionsBumped_ = true;
    double sourceBytes_ = 0;       // SourceBytesTotal, read once per run; 0 when unknown
    long long progressStep_ = -1;  // the hundredths last told to the window
    std::wstring storeRoot_;       // "\\?\" form of KSR_CONSOLE, resolved once per run
    StorePlan plan_;
    // The chosen folder as typed (with a trailing "\") and its final path: every listed path
    // below the one has its final form below the other.
    std::wstring sourceTyped_;
    std::wstring sourceRoot_;
    // By folder (as the walk names it), the files the survey found there, "\0"-separated.
    std::unordered_map<std::wstring, std::wstring> surveyedFiles_;
    // System files passed over, for the run report; they are not failures.
    std::vector<std::wstring> skipped_;
    size_t filesExpected_ = 0;  // by the survey
    size_t filesReached_ = 0;   // by the walk
    std::set<std::wstring> brokenReported_;
    uint64_t filesImported_ = 0, foldersImported_ = 0, bytesImported_ = 0;
    std::optional<std::wstring> reportDirectory_;
    unsigned loginTimeout_ = 15, statementTimeout_ = 30;
    std::wstring reportPath_;
};

}  // namespace ksr
