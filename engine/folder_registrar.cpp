#include "engine/folder_registrar.h"

#include <windows.h>

#include "engine/failure_reason.h"
#include "engine/folder_row.h"
#include "engine/log_texts.h"
#include "engine/run_locks.h"
#include "server/lost_session.h"
#include "server/named_lock.h"

namespace ksr {

Result<RegisteredFolder> FolderRegistrar::Register(const std::wstring& name,
                                                   const std::wstring& ParentID,
                                                   const std::wstring& MyID) {
    if (flags_.databaseLost) return Win32Error(ERROR_CONNECTION_ABORTED);
    // Refused by a strict server, or cut short by a lax one into a row naming another folder.
    if (!places_.limits.FolderFits(name)) return Win32Error(ERROR_FILENAME_EXCED_RANGE);
    if (places_.checkOnly) return RegisteredFolder{L"0", false};
    const auto fail = [&](const Error& error) -> Result<RegisteredFolder> {
        db_.Rollback();
        lock_.Release();
        // The lost connection's session may still hold the runs' lock: it is ended, so that
        // the next folder does not wait for it.
        if (error.IsConnectionLevel() && flags_.DatabaseBack(db_)) (void)EndLostSession(db_);
        return error;
    };
    // Held at least until the new row is committed (see LetGo).
    if (!lock_.Held()) {
        if (const Status taken = TakeRunLock(lock_, db_, RunLockName(kFolderLock, places_.database),
                                             [this] { return !flags_.Ending(); });
            !taken) {
            return fail(taken.error());
        }
        lockedAt_ = GetTickCount64();
    }
    // Below a folder this run inserted, only rows numbered after it can be its children: its
    // id was told to nobody before it was committed. Elsewhere a folder may have been moved in
    // under an older number, and every row counts.
    const std::wstring_view floor = inserted_.contains(ParentID) ? ParentID : L"0";
    Result<std::optional<std::wstring>> found = FindFolderRow(db_, name, ParentID, MyID, floor);
    if (!found) return fail(found.error());
    if (*found) return RegisteredFolder{**std::move(found), true};
    Result<std::wstring> inserted = Insert(name, ParentID, MyID);
    if (!inserted) return fail(inserted.error());
    inserted_.insert(*inserted);
    return RegisteredFolder{*std::move(inserted), false};
}

Result<std::wstring> FolderRegistrar::Insert(const std::wstring& name, const std::wstring& ParentID,
                                             const std::wstring& MyID) {
    // The row and the reading of its id form one transaction, so a row the server altered (or
    // whose id could not be told) does not stay behind.
    if (Status begun = db_.Begin(); !begun) return std::move(begun).error();
    Result<std::optional<std::wstring>> id = InsertFolderRow(db_, mysql_, name, ParentID, MyID);
    if (!id) return std::move(id).error();
    if (!*id || (*id)->empty()) id = FindOwnRow(name, ParentID, MyID);
    if (!id) return std::move(id).error();
    if (!*id || (*id)->empty()) {
        db_.Rollback();
        return Win32Error(ERROR_NOT_FOUND);
    }
    if (Status committed = db_.Commit(); !committed) return std::move(committed).error();
    return std::move(**id);
}

Result<std::optional<std::wstring>> FolderRegistrar::FindOwnRow(const std::wstring& name,
                                                                const std::wstring& ParentID,
                                                                const std::wstring& MyID) {
    const FolderIdQueries& fallback = FolderIdFallback(mysql_);
    // A server that does not tell the id of the row just inserted: its owner's newest.
    const std::wstring_view owner[] = {MyID};
    Result<std::optional<std::wstring>> id = db_.QueryValue(fallback.ownersNewest, L"c", owner);
    if (!id) return id;
    // The newest folder of the owner is the one just inserted only when nobody else inserted one
    // in between; its own name and parent tell.
    if (*id && !(*id)->empty()) {
        const std::wstring_view key[] = {**id};
        const Result<DbRow> row = db_.QueryRow(fallback.nameAndParent, key);
        if (!row) return row.error();
        if (row->size() == 2 && (*row)[0] == name && (*row)[1] == ParentID) return id;
    }
    // Another writer's folder came in between: take the newest row that is ours.
    const std::wstring_view ours[] = {MyID, name, ParentID};
    return db_.QueryValue(fallback.newestOfName, L"c", ours);
}

void FolderRegistrar::LetGo(bool now) {
    constexpr ULONGLONG kHoldMs = 250;
    if (lock_.Held() && (now || GetTickCount64() - lockedAt_ >= kHoldMs)) lock_.Release();
}

std::wstring FolderRegistrar::Reason(const Error& error) const {
    // The database is marked lost only on the thread that registers folders, so it tells
    // whether the failure just met lost it.
    if (flags_.databaseLost) return reason::kDatabaseLost;
    if (IsLockBusy(error)) return reason::kLockBusy;
    if (error.IsDatabase()) return DatabaseReason(error);
    if (error.win32 == ERROR_NOT_FOUND) return reason::kFolderRowMissing;
    if (error.win32 == ERROR_FILENAME_EXCED_RANGE) return reason::kNameTooLong;
    return Win32Reason(error.win32);
}

}  // namespace ksr
