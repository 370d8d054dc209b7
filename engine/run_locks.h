#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "server/database.h"
#include "server/named_lock.h"
#include "util/result.h"

namespace ksr {

// The database locks every import run takes (see NamedLock): one around a folder's look-up and
// insert, one around a batch's look-up and insert of file rows.
inline constexpr wchar_t kFolderLock[] = L"ksrimport.PtpFolder.";
inline constexpr wchar_t kFileLock[] = L"ksrimport.PtpFile.";

// The lock `lock` (one of the above) of the database `database`: a MySQL server keeps one set of
// names for all its databases, and imports into two of them need not wait for each other. Held
// to the 64 characters MySQL takes.
[[nodiscard]] std::wstring RunLockName(std::wstring_view lock, std::wstring_view database);

// Takes `name` on `db`, waiting while another run holds it: the other run holds it for one
// batch's statements, each within the statement timeout, so the wait goes on for eight of those
// as long as `goingOn` says the run does. Fails as NamedLock::Take does.
[[nodiscard]] Status TakeRunLock(NamedLock& lock, DbSession& db, std::wstring_view name,
                                 const std::function<bool()>& goingOn);

}  // namespace ksr
