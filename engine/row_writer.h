#pragma once

// How a run is put together: docs/DESIGN.md.

#include <windows.h>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "engine/file_transfer.h"
#include "engine/run_flags.h"
#include "engine/run_places.h"
#include "engine/run_record.h"
#include "engine/source_deleter.h"
#include "engine/statement_watch.h"
#include "engine/store_verifier.h"
#include "server/database.h"

namespace ksr {

// What the row writer needs of one file besides its copy.
struct FileUnit {
    std::wstring source;  // absolute path, as the activity lines show it
    std::wstring cleaned;
    std::wstring FilPath;
    std::wstring ParentID;
    std::wstring MyID;
    SourcePlace place;  // where its opened handle must be
    bool link = false;  // listed as a link: copied from its target, never deleted
    // The PtpFile number read before its copy began (RowWriter::RowsFloor): rows naming a store
    // file the copy creates are numbered above it.
    std::wstring rowsFloor;  // empty: none
};

// Where a test may step into the writing of rows: before a transaction begins, and once its
// commit returned. What the step returns fails it as the session's answer would (a commit done
// stays done); it may throw instead.
enum class RowsStep { Begin, Committed };
using RowsFault = std::function<Status(RowsStep step, size_t files)>;
// For tests; null removes it.
void SetRowsFaultForTest(RowsFault fault);

// Writes the walk's file rows in batches on its own connection, has each store copy flushed and
// read back before its rows go in, hands the sources of committed rows to the deleter, and tells
// the record what became of every unit once its batch settles, in the order the units came.
// Everything here runs on the pipeline's committing thread (the row writer's thread); the run's
// thread creates and destroys it while no walk runs.
class RowWriter {
  public:
    RowWriter(DbSession& db, const RunPlaces& places, RunFlags& flags, RunRecord& record,
              const StatementWatch* watch);
    RowWriter(const RowWriter&) = delete;
    RowWriter& operator=(const RowWriter&) = delete;

    // A copied file (or one whose copy failed) joins the batch; in a check only a failed one is
    // told.
    void AddFile(CopyResult& copy, const FileUnit& unit);
    // A unit without rows: what it tells waits behind the files before it.
    void Add(RunEvents events);
    // The pipeline's flush: writes the batch once it is large or old enough, or when `finish`;
    // returns whether anything is still held back.
    bool Flush(bool finish);

    // Reads the PtpFile number the first copies start from; on the run's thread, before the walk.
    void ReadRowsFloor();
    // The PtpFile number a copy starting now takes as its unit's rowsFloor. Read on the run's
    // thread while the committer moves it on.
    [[nodiscard]] std::wstring RowsFloor() const {
        const long long floor = rowsFloor_.load();
        return floor < 0 ? std::wstring() : std::to_wstring(floor);
    }

  private:
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
        // The public area holds its rows already (its store file held its bytes): no rows are
        // written, and its store file is not this run's.
        bool alreadyStored = false;
        // Whether its rows are in is known (or it failed for certain): an exception after that
        // leaves it as it is.
        bool decided = false;
        // The store copy's flush and read-back, under way until the batch is written.
        std::shared_ptr<StoreVerifier::Ticket> verify;
    };
    // A unit of the batch: a file, or what a unit without rows tells.
    struct BatchEntry {
        std::unique_ptr<PendingFile> file;
        RunEvents events;
    };
    struct RowsOutcome {
        Status status;
        bool committing = false;  // a failure came from the commit, which may have landed
    };
    using Failures = std::vector<std::optional<std::wstring>>;

    void FileFailed(const FileUnit& unit, std::wstring reason);
    // The store path of `unit` as the operator knows the store.
    [[nodiscard]] std::wstring StoreShown(const FileUnit& unit) const;
    // Gives up the store copy of a file not imported for `reason`; returns the reason, which
    // names the copy when it stays in the store.
    [[nodiscard]] std::wstring Discarded(CopyResult& copy, const FileUnit& unit,
                                         std::wstring reason) const;
    // Why a file whose copy failed or was refused is not imported.
    [[nodiscard]] std::wstring CopyFailureReason(const CopyResult& copy,
                                                 const FileUnit& unit) const;
    void WriteBatch();
    // Waits for the batch's store copies to be on disk as copied; a copy that is not fails.
    void AwaitStoreCopies(std::span<PendingFile* const> files);
    // Writes the files' rows; leaves why in `failures` for each file whose rows are not in.
    void WriteBatchRows(std::span<PendingFile* const> files, Failures& failures);
    // The batch's rows could not go in whole: file by file, so only the file at fault fails.
    void WriteRowsOneByOne(std::span<PendingFile* const> files, Failures& failures, bool probing,
                           const Error* batchError);
    // Why the files of a batch whose commit answer was lost failed, when nobody can tell.
    [[nodiscard]] std::wstring LostReason(const Error& error) const;
    [[nodiscard]] RowsOutcome WriteRows(std::span<PendingFile* const> files);
    // Marks the files whose rows the public area holds already.
    [[nodiscard]] Status FindAlreadyStored(std::span<PendingFile* const> files);
    // Moves the floor on to the PtpFile number now (after rows went in).
    void MoveRowsFloor();
    [[nodiscard]] Status InsertRows(std::span<PendingFile* const> files);
    // Whether the file's rows are in, after a commit whose answer was lost: the lost
    // connection's session is ended first; fails when the database can't tell.
    [[nodiscard]] Result<bool> RowsLanded(const PendingFile& file);
    // Settles the store file of a file whose rows are in (or failed, with why) and, when its
    // source is to go, hands the source over to `deletions`.
    void FinishFile(PendingFile& file, const std::optional<std::wstring>& failure,
                    std::vector<SourceDeleter::Item>& deletions);
    // Hands the batch's deletions over and queues it to be told once they are done.
    void StartSettling(std::vector<BatchEntry> entries, std::vector<SourceDeleter::Item> deletions);
    // Tells the oldest batch whose sources are being deleted, after waiting for them.
    void SettleBatch();
    // Tells a batch's units in order, with the outcome of its `deletions`.
    void TellBatch(std::span<const BatchEntry> entries,
                   std::span<const SourceDeleter::Item> deletions);
    // Tells what became of a file, once its source's deletion (if any) is done.
    void TellFile(const PendingFile& file, std::span<const SourceDeleter::Item> deletions);
    [[nodiscard]] bool Stopped() const { return watch_ && watch_->Stopped(); }

    DbSession& db_;
    const RunPlaces& places_;
    RunFlags& flags_;
    RunRecord& record_;
    const StatementWatch* watch_;
    std::vector<BatchEntry> batch_;
    size_t batchFiles_ = 0;
    ULONGLONG batchStarted_ = 0;
    // Batches written, oldest first, while their sources are deleted; what they tell waits
    // until then.
    std::deque<std::vector<BatchEntry>> settling_;
    SourceDeleter deleter_;
    // Made on the first copy that needs it: flushes store copies many at once.
    std::optional<StoreVerifier> verifier_;
    // -1 once no floor holds (see MoveRowsFloor).
    std::atomic<long long> rowsFloor_{-1};
};

}  // namespace ksr
