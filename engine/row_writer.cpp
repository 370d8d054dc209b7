#include "engine/row_writer.h"

#include <algorithm>
#include <cwchar>
#include <mutex>
#include <utility>

#include "engine/failure_reason.h"
#include "engine/file_rows.h"
#include "engine/imported_files.h"
#include "engine/log_texts.h"
#include "engine/run_locks.h"
#include "engine/stored_rows.h"
#include "server/lost_session.h"
#include "server/named_lock.h"
#include "util/guid.h"

namespace ksr {
namespace {

// Rows of this many files at most go in one transaction.
constexpr size_t kBatchFiles = kFileRowChunks[0];
// Rows wait no longer than this for more to join them.
constexpr ULONGLONG kBatchMs = 250;
// Batches whose sources are being deleted while later rows are written; more wait for the
// oldest. Under Wine each deletion waits its turn at the Wine server with the copies' requests,
// so one batch's deletions often outlast the next batch's rows.
constexpr size_t kBatchesDeleting = 2;
// Store copies flushed at once while the rows of their batch wait: flushes issued together
// share the disk's trips (on the development machine 1,000 small files took 2.3 s flushed one
// by one, 0.85 s eight at a time).
constexpr unsigned kVerifyThreads = 8;

std::mutex rowsFaultMutex;
RowsFault rowsFault;  // guarded by rowsFaultMutex

Status RowsFaultAt(RowsStep step, size_t files) {
    const std::lock_guard lock(rowsFaultMutex);
    return rowsFault ? rowsFault(step, files) : Status();
}

}  // namespace

void SetRowsFaultForTest(RowsFault fault) {
    const std::lock_guard lock(rowsFaultMutex);
    rowsFault = std::move(fault);
}

RowWriter::RowWriter(DbSession& db, const RunPlaces& places, RunFlags& flags, RunRecord& record,
                     const StatementWatch* watch)
    : db_(db), places_(places), flags_(flags), record_(record), watch_(watch) {}

void RowWriter::FileFailed(const FileUnit& unit, std::wstring reason) {
    RunEvents events;
    events.Failure(unit.source, ItemKind::FileNotImported, std::move(reason));
    Add(std::move(events));
}

void RowWriter::Add(RunEvents events) {
    if (events.empty()) return;
    // Nothing before it waits: told at once.
    if (batch_.empty() && settling_.empty()) {
        record_.Tell(events);
        return;
    }
    // It may open a batch (while the last one's sources are deleted): the batch's time bound
    // starts with it.
    if (batch_.empty()) batchStarted_ = GetTickCount64();
    batch_.push_back({nullptr, std::move(events)});
}

std::wstring RowWriter::StoreShown(const FileUnit& unit) const {
    return WithSeparator(places_.storeShown) + ReplaceAll(unit.FilPath, L'/', L'\\');
}

std::wstring RowWriter::Discarded(CopyResult& copy, const FileUnit& unit,
                                  std::wstring reason) const {
    if (DiscardStoreCopy(copy)) return reason;
    return reason + reason::kStoreCopyLeft + StoreShown(unit);
}

std::wstring RowWriter::CopyFailureReason(const CopyResult& copy, const FileUnit& unit) const {
    const std::wstring store = StoreShown(unit);
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
    return ErrorReason(copy.status.error());
}

void RowWriter::AddFile(CopyResult& copy, const FileUnit& unit) {
    if (flags_.databaseLost) {
        FileFailed(unit, Discarded(copy, unit, reason::kDatabaseLost));
        return;
    }
    if (!copy.ok()) {
        FileFailed(unit, CopyFailureReason(copy, unit));
        return;
    }
    // A check writes no rows: the file would be imported, unless its store file and rows are
    // there already, which only a file whose store path holds its bytes can be.
    if (places_.checkOnly && copy.wouldCreate) return;
    // The identifier is how a batch whose commit went unanswered is found again: a file without
    // one of its own gets no rows.
    Result<std::wstring> guid = NewGuidText();
    if (!guid) {
        FileFailed(unit, Discarded(copy, unit, Win32Reason(guid.error().win32)));
        return;
    }
    if (batch_.empty()) batchStarted_ = GetTickCount64();
    auto file = std::make_unique<PendingFile>();
    file->unit = unit;
    // The batch's now: should what follows throw, the caller's discard leaves its store copy.
    const bool created = std::exchange(copy.created, false);
    file->copy = std::move(copy);
    file->copy.created = created;
    file->guid = *std::move(guid);
    file->sizeText = std::to_wstring(file->copy.bytes);
    // Every new store copy is on disk under its own name before its rows go in; one whose source
    // is to go is read back as well.
    if (file->copy.verifyPending) {
        if (!verifier_) verifier_.emplace(kVerifyThreads);
        CopyResult& made = file->copy;
        const bool readBack = places_.deleteSources && static_cast<bool>(made.source);
        file->verify = verifier_->Post(std::move(made.stored), made.bytes, made.md5, readBack,
                                       made.partial, places_.StorePath(unit.FilPath));
    }
    batch_.push_back({std::move(file), {}});
    ++batchFiles_;
    if (batchFiles_ >= kBatchFiles) WriteBatch();
}

bool RowWriter::Flush(bool finish) {
    while (!settling_.empty() && (finish || deleter_.Done())) SettleBatch();
    if (batch_.empty()) return !settling_.empty();
    if (!finish && batchFiles_ < kBatchFiles && GetTickCount64() - batchStarted_ < kBatchMs) {
        return true;
    }
    WriteBatch();
    if (finish) SettleBatch();
    return !settling_.empty();
}

Status RowWriter::InsertRows(std::span<PendingFile* const> files) {
    const std::vector<std::wstring> sql = FileInsertStatements(files.size());
    std::vector<SentFileRows> sent;
    sent.reserve(files.size());
    for (const PendingFile* file : files) {
        const FileUnit& unit = file->unit;
        sent.push_back({file->guid, kFileCreatorName, unit.cleaned, file->sizeText, unit.FilPath,
                        file->copy.md5});
    }
    std::vector<std::wstring_view> params;
    params.reserve(files.size() * 6);
    for (const PendingFile* file : files) {
        const FileUnit& unit = file->unit;
        params.insert(params.end(), {file->guid, unit.MyID, unit.cleaned, file->sizeText,
                                     unit.ParentID, unit.FilPath});
    }
    if (Status inserted = db_.Execute(sql[0], params); !inserted) return inserted;
    if (Status stored = CheckRowsStored(db_, places_.mysql, RowTable::File, sent); !stored) {
        return stored;
    }
    params.clear();
    for (const PendingFile* file : files) {
        params.insert(params.end(),
                      {file->unit.cleaned, file->sizeText, file->unit.FilPath, file->copy.md5});
    }
    if (Status inserted = db_.Execute(sql[1], params); !inserted) return inserted;
    return CheckRowsStored(db_, places_.mysql, RowTable::Digest, sent);
}

void RowWriter::ReadRowsFloor() {
    const Result<std::wstring> high = FileRowsHighWater(db_);
    // An empty table's floor is 0. A table whose numbers are not the server's own counting up
    // from 1 gives no floor.
    rowsFloor_ = high ? std::wcstoll(high->c_str(), nullptr, 10) : -1;
}

void RowWriter::MoveRowsFloor() {
    const long long was = rowsFloor_.load();
    if (was < 0) return;
    // A floor that can't be read stays where it was: lower is only slower.
    const Result<std::wstring> high = FileRowsHighWater(db_);
    if (!high) return;
    // Rows just inserted that were not numbered above the floor: the numbers do not only grow
    // (a trigger numbers them, a counter went back), and no floor holds for the rest of the run.
    const long long now = std::wcstoll(high->c_str(), nullptr, 10);
    rowsFloor_ = now > was ? now : -1;
}

Status RowWriter::FindAlreadyStored(std::span<PendingFile* const> files) {
    std::vector<FileToFind> find;
    find.reserve(files.size());
    for (const PendingFile* file : files) {
        // A store file this copy created can be named only by rows another run wrote since.
        // Once floors were found not to hold, none does.
        const bool floored = file->copy.created && rowsFloor_.load() >= 0;
        find.push_back({file->unit.FilPath, file->sizeText, file->copy.md5,
                        floored ? std::wstring_view(file->unit.rowsFloor) : L""});
    }
    Result<std::vector<bool>> found = FindImportedFiles(db_, find);
    if (!found) return std::move(found).error();
    for (size_t i = 0; i < files.size(); ++i) {
        if (!(*found)[i]) continue;
        files[i]->alreadyStored = true;
        files[i]->decided = true;
        // Others' rows name it now: it stays, whatever becomes of this file.
        files[i]->copy.created = false;
    }
    return {};
}

// Both rows of every file, or none of them: one transaction. The look-up of the rows there
// already and the insert of the rest hold the import runs' file lock, so another run's files
// are either found or wait for these.
RowWriter::RowsOutcome RowWriter::WriteRows(std::span<PendingFile* const> files) {
    RowsOutcome outcome;
    NamedLock lock;
    outcome.status = TakeRunLock(lock, db_, RunLockName(kFileLock, places_.database),
                                 [this] { return !Stopped() && !flags_.databaseLost; });
    if (outcome.status.ok()) outcome.status = FindAlreadyStored(files);
    std::vector<PendingFile*> rows;
    for (PendingFile* file : files) {
        if (!file->alreadyStored) rows.push_back(file);
    }
    if (!outcome.status.ok() || rows.empty()) return outcome;
    bool committed = false;
    try {
        outcome.status = RowsFaultAt(RowsStep::Begin, rows.size());
        if (outcome.status.ok()) outcome.status = db_.Begin();
        for (size_t at = 0; outcome.status.ok() && at < rows.size();) {
            const size_t count = FileRowChunk(rows.size() - at);
            outcome.status = InsertRows(std::span(rows).subspan(at, count));
            at += count;
        }
        if (outcome.status.ok()) {
            outcome.committing = true;
            outcome.status = db_.Commit();
            // The commit's answer came: these files are imported, whatever happens next.
            committed = outcome.status.ok();
            if (committed) {
                for (PendingFile* file : rows) file->decided = true;
                outcome.status = RowsFaultAt(RowsStep::Committed, rows.size());
            }
        }
    } catch (...) {
        // Thrown while committing, the rows may be in: their store copies stay.
        if (outcome.committing && !committed) {
            for (PendingFile* file : rows) file->rowsUncertain = true;
        }
        db_.Rollback();
        throw;
    }
    if (!outcome.status.ok()) {
        db_.Rollback();
        return outcome;
    }
    MoveRowsFloor();
    return outcome;
}

Result<bool> RowWriter::RowsLanded(const PendingFile& file) {
    // The lost connection's session may still hold the rows: its commit on the way to the server,
    // or the rows not yet rolled back and seen by a server whose default reads uncommitted rows.
    // They are counted once that session is gone, and only as committed.
    if (Status ended = EndLostSession(db_); !ended) return std::move(ended).error();
    const std::wstring_view key[] = {file.guid};
    Result<std::optional<std::wstring>> found =
        db_.QueryCommittedValue(FileLandedStatement(), L"c", key);
    if (!found) return std::move(found).error();
    // A count always comes back; without one, nothing can be told.
    if (!*found) return DatabaseError(L"HY000", L"The row count came back empty.");
    return **found != L"0";
}

void RowWriter::WriteBatch() {
    std::vector<BatchEntry> entries = std::move(batch_);
    batch_.clear();
    batchFiles_ = 0;
    std::vector<PendingFile*> copied;
    for (BatchEntry& entry : entries) {
        if (entry.file) copied.push_back(entry.file.get());
    }
    AwaitStoreCopies(copied);
    std::vector<PendingFile*> files;
    for (PendingFile* file : copied) {
        if (!file->failure) files.push_back(file);
    }
    Failures failures(files.size());
    try {
        WriteBatchRows(files, failures);
    } catch (...) {
        // Files whose rows went in (or failed for certain) before it stay as they are.
        const std::wstring why = ErrorReason(UnexpectedFailure());
        for (size_t i = 0; i < files.size(); ++i) {
            if (!files[i]->decided) failures[i] = why;
        }
    }
    // Earlier batches go first: their sources were being deleted while these rows went in.
    while (!settling_.empty() && (deleter_.Done() || settling_.size() >= kBatchesDeleting)) {
        SettleBatch();
    }
    std::vector<SourceDeleter::Item> deletions;
    for (size_t i = 0; i < files.size(); ++i) {
        try {
            FinishFile(*files[i], failures[i], deletions);
        } catch (...) {
            files[i]->failure = ErrorReason(UnexpectedFailure());
        }
    }
    StartSettling(std::move(entries), std::move(deletions));
}

void RowWriter::StartSettling(std::vector<BatchEntry> entries,
                              std::vector<SourceDeleter::Item> deletions) {
    bool queued = false;
    try {
        deleter_.Start(std::move(deletions));
        queued = true;
        settling_.push_back(std::move(entries));
    } catch (...) {
        // Not queued: no source of the batch was deleted, and each says so. Queued but not
        // kept: the batch is settled here, so later batches still pair with their deletions.
        while (!settling_.empty()) SettleBatch();
        std::vector<SourceDeleter::Item> done;
        if (queued) done = deleter_.Take();
        TellBatch(entries, done);
        return;
    }
    // Without deletions (or once they are done) the batch is told at once.
    while (!settling_.empty() && deleter_.Done()) SettleBatch();
}

void RowWriter::AwaitStoreCopies(std::span<PendingFile* const> files) {
    for (PendingFile* file : files) {
        if (!file->verify) continue;
        verifier_->Wait(*file->verify);
        CopyResult& copy = file->copy;
        copy.stored = std::move(file->verify->file);
        copy.verifyPending = false;
        copy.partial = file->verify->partial;
        if (const Status& verified = file->verify->status; !verified) {
            file->failure = Discarded(copy, file->unit, ErrorReason(verified.error()));
        }
        file->verify.reset();
    }
}

void RowWriter::SettleBatch() {
    if (settling_.empty()) return;
    const std::vector<SourceDeleter::Item> deletions = deleter_.Take();
    const std::vector<BatchEntry> entries = std::move(settling_.front());
    settling_.pop_front();
    TellBatch(entries, deletions);
}

void RowWriter::TellBatch(std::span<const BatchEntry> entries,
                          std::span<const SourceDeleter::Item> deletions) {
    for (const BatchEntry& entry : entries) {
        try {
            if (entry.file) TellFile(*entry.file, deletions);
            record_.Tell(entry.events);
        } catch (...) {
            record_.CountLostItem();
        }
    }
}

std::wstring RowWriter::LostReason(const Error& error) const {
    if (flags_.databaseSilent) return reason::kDatabaseNotAnswering;
    if (flags_.databaseLost) return reason::kDatabaseLost;
    return DatabaseReason(error);
}

void RowWriter::WriteBatchRows(std::span<PendingFile* const> files, Failures& failures) {
    if (files.empty()) return;
    // A check only looks: what it can't find, a run would write.
    if (places_.checkOnly) {
        (void)FindAlreadyStored(files);
        return;
    }
    if (flags_.databaseLost) {
        WriteRowsOneByOne(files, failures, false, nullptr);
        return;
    }
    const RowsOutcome batch = WriteRows(files);
    if (batch.status.ok()) {
        for (PendingFile* file : files) file->decided = true;
        return;
    }
    const Error& error = batch.status.error();
    // Each file on its own would wait as long for the other run.
    if (IsLockBusy(error)) {
        for (auto& failure : failures) failure = Stopped() ? reason::kStopped : reason::kLockBusy;
        return;
    }
    const bool cut = error.IsConnectionLevel();
    // After a batch cut off at the connection and a successful reconnect, the next statement
    // probes the server: cut off again, the server takes connections but answers no statement
    // (a backup's lock, a long table change, a lock wait), and each file would wait as long.
    bool probing = cut && flags_.DatabaseBack(db_);
    // A commit whose answer was lost may have landed: its rows are not written twice, and until
    // the database tells, its store copies stay.
    if (cut && batch.committing) {
        // A file found already stored sent no rows of its own to count.
        const auto sent = std::ranges::find_if(
            files, [](const PendingFile* file) { return !file->alreadyStored; });
        const Result<bool> landed = probing ? RowsLanded(**sent) : Result<bool>(error);
        if (!landed) {
            if (probing && landed.error().IsConnectionLevel()) flags_.DatabaseNotAnswering();
            for (auto& failure : failures) failure = LostReason(error);
            for (PendingFile* file : files) file->rowsUncertain = file->decided = true;
            return;
        }
        if (*landed) {
            for (PendingFile* file : files) file->decided = true;
            return;
        }
        probing = false;
    }
    // The lost connection's session may still hold the runs' lock; ended, it waits for nobody.
    if (probing) (void)EndLostSession(db_);
    WriteRowsOneByOne(files, failures, probing, &error);
}

void RowWriter::WriteRowsOneByOne(std::span<PendingFile* const> files, Failures& failures,
                                  bool probing, const Error* batchError) {
    // What failed the whole batch, when a file is named in it.
    const bool named = batchError && !batchError->path.empty();
    const std::wstring faultyPath = named ? batchError->path : std::wstring();
    const std::wstring faultReason = named ? DatabaseReason(*batchError) : std::wstring();
    // Once the operator stopped the run, a statement that waits is cancelled, and no file waits
    // its turn after it.
    for (size_t i = 0; i < files.size(); ++i) {
        if (Stopped()) {
            failures[i] = files[i]->unit.FilPath == faultyPath ? faultReason : reason::kStopped;
            files[i]->decided = true;
            continue;
        }
        PendingFile& file = *files[i];
        RowsOutcome one;
        if (!flags_.databaseLost) one = WriteRows({&files[i], 1});
        // A file is written once more after a reconnect, unless its commit may have landed.
        for (bool retried = false;;) {
            const bool cut = !one.status.ok() && one.status.error().IsConnectionLevel();
            // A commit whose answer was lost may have landed, unless the database tells: the
            // retry's answer counts as the first try's would.
            file.rowsUncertain = cut && one.committing;
            if (!cut) break;
            if (std::exchange(probing, false)) {
                flags_.DatabaseNotAnswering();
                break;
            }
            if (!flags_.DatabaseBack(db_)) break;
            if (one.committing) {
                if (const Result<bool> landed = RowsLanded(file); landed) {
                    file.rowsUncertain = false;
                    if (*landed) one.status = Status();
                }
                break;
            }
            if (std::exchange(retried, true)) break;
            // The lost session may still hold the runs' lock; ended, it waits for nobody.
            (void)EndLostSession(db_);
            one = WriteRows({&files[i], 1});
        }
        probing = false;
        // Another run holds the lock for longer than a batch takes: the rest would wait as long.
        if (!one.status.ok() && IsLockBusy(one.status.error())) {
            for (size_t j = i; j < files.size(); ++j) {
                failures[j] = Stopped() ? reason::kStopped : reason::kLockBusy;
                files[j]->decided = true;
            }
            return;
        }
        if (flags_.databaseSilent) {
            failures[i] = reason::kDatabaseNotAnswering;
        } else if (flags_.databaseLost) {
            failures[i] = reason::kDatabaseLost;
        } else if (!one.status.ok()) {
            failures[i] = DatabaseReason(one.status.error());
        }
        file.decided = true;
    }
}

void RowWriter::FinishFile(PendingFile& file, const std::optional<std::wstring>& failure,
                           std::vector<SourceDeleter::Item>& deletions) {
    const FileUnit& unit = file.unit;
    CopyResult& copy = file.copy;
    if (failure) {
        file.failure = *failure;
        // A store copy no rows name goes, unless rows may name it after all: a commit whose
        // answer was lost.
        if (file.rowsUncertain) copy.created = false;
        file.failure = Discarded(copy, unit, *failure);
        return;
    }
    if (file.alreadyStored) {
        record_.FileAlreadyStored();
    } else if (!places_.checkOnly) {
        record_.FileImported(copy.bytes);
    }
    if (!places_.deleteSources) return;

    // The operator's only copy goes only once its committed rows name a store file that holds
    // exactly its bytes on disk; the store only grows, so no later file replaces it.
    if (unit.link || copy.link) {
        file.kept = reason::kFileLink;
    } else if (!copy.source) {
        file.kept = reason::kNotHeld + Win32Reason(Win32CodeOf(copy.hold));
    } else if (!copy.stored) {
        file.kept = reason::kNotVerified + Win32Reason(ERROR_INVALID_HANDLE);
    } else {
        deletions.push_back({std::move(copy.source),
                             std::move(copy.stored),
                             {},
                             unit.place.listed,
                             places_.sourceRoot});
        file.deletion = deletions.size() - 1;
    }
    copy.source.reset();
    copy.stored.reset();
}

void RowWriter::TellFile(const PendingFile& file, std::span<const SourceDeleter::Item> deletions) {
    if (file.failure) {
        record_.Failure(file.unit.source, ItemKind::FileNotImported, *file.failure);
        return;
    }
    if (file.alreadyStored) record_.AlreadyStored(file.unit.source);
    std::wstring kept = file.kept;
    if (file.deletion && *file.deletion < deletions.size()) {
        if (const Status& deleted = deletions[*file.deletion].status; !deleted) {
            kept = deleted.error().win32 == ERROR_REPARSE_POINT_ENCOUNTERED
                       ? reason::kFileLink
                       : reason::kNotDeleted + ErrorReason(deleted.error());
        }
    } else if (file.deletion) {
        kept = reason::kNotDeleted + Win32Reason(ERROR_INVALID_HANDLE);
    }
    if (!kept.empty()) record_.Failure(file.unit.source, ItemKind::SourceKept, kept);
}

}  // namespace ksr
