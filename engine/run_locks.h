#pragma once

#include "server/database.h"

namespace ksr {

// The database locks every import run takes (see NamedLock): one around a folder's look-up and
// insert, one around a batch's look-up and insert of file rows. The server keeps lock names for
// all its databases at once; the names say whose they are.
inline constexpr wchar_t kFolderLock[] = L"ksrimport.PtpFolder";
inline constexpr wchar_t kFileLock[] = L"ksrimport.PtpFile";

// How long a run waits for the other run's lock: it is held for one batch at most, and a wait
// must end before the statement's own timeout would take the connection for lost.
[[nodiscard]] inline unsigned LockWaitSeconds(const DbSession& db) {
    const unsigned timeout = db.StatementTimeout();
    return timeout > 2 ? timeout / 2 : 1;
}

}  // namespace ksr
