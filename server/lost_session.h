#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "server/database.h"
#include "util/result.h"

namespace ksr {

// Ends, through `db`'s current connection, the server session of the connection `db` lost last
// (DbSession::LostSessionId), and waits until the server no longer lists it, for at most `db`'s
// statement timeout. Until then that session may still commit a transaction whose answer was
// lost, or show its rows, not yet rolled back, to a server that reads uncommitted rows. A
// session gone already is fine. Fails when its id is unknown, or it can't be ended or seen gone
// (no privilege, still listed at the end). Called on the thread that owns `db`.
[[nodiscard]] Status EndLostSession(DbSession& db);

// The statements EndLostSession sends in one dialect (MySQL, else SQL Server), with `id` as the
// session's id.
std::vector<std::wstring> SessionEndStatements(bool mysql, std::wstring_view id = L"1");

}  // namespace ksr
