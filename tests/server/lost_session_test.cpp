// A connection lost with its session still on the server: only once that session is ended can
// a count tell what a commit sent on it did.
#include <gtest/gtest.h>

#include <windows.h>

#include "server/connection_string.h"
#include "server/database.h"
#include "server/lost_session.h"
#include "support/commit_proxy.h"
#include "support/db_outcome.h"
#include "support/fault_db.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace ksr {
namespace {

constexpr std::wstring_view kInsertFolder =
    L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
    L"values('Public',?,'0',1,'1','admin')";
constexpr wchar_t kFolders[] = L"select count(*) as c from PtpFolder";

std::string Describe(const std::optional<Error>& error) {
    if (!error) return "no error";
    return test::Utf8(error->sqlstate + L" " + std::to_wstring(error->nativeError) + L" " +
                      error->message);
}

std::wstring First(const std::vector<test::Row>& rows) {
    return rows.size() == 1 && rows[0].size() == 1 && rows[0][0] ? *rows[0][0] : L"?";
}

// However its connection was lost, a session ended is no longer listed and the transaction it
// held never commits, even when its COMMIT reaches the server's port afterwards.
TEST(LostSessionTest, AnEndedSessionIsGoneAndItsTransactionNeverCommits) {
    const struct {
        const char* name;
        bool held;  // the COMMIT is held past the timeout, else the server kills the session
    } cases[] = {{"commit held on its way", true}, {"killed by the server first", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        test::StallableDatabase db;
        ASSERT_TRUE(db.ok()) << test::Utf8(db.error());
        test::CommitHoldingProxy proxy(db.Settings().server, db.Settings().port);
        ASSERT_TRUE(proxy.ok());
        ServerSettings settings = db.Settings();
        settings.port = proxy.Port();
        DbSession session(BuildConnectionString(settings), 3, 2);
        ASSERT_FALSE(test::Outcome(session.Begin()));
        const std::wstring id = session.SessionId();
        ASSERT_FALSE(id.empty());
        const std::wstring_view name[] = {L"lost"};
        ASSERT_FALSE(test::Outcome(session.Execute(kInsertFolder, name)));
        if (c.held) {
            proxy.HoldNextCommit(6000, test::CommitHoldingProxy::Then::Forward);
        } else {
            ASSERT_EQ(db.Exec(L"kill " + id), L"");
        }
        const auto commit = test::Outcome(session.Commit());
        ASSERT_TRUE(commit && commit->IsConnectionLevel()) << Describe(commit);
        EXPECT_EQ(session.LostSessionId(), id);

        const auto ended = test::Outcome(EndLostSession(session));
        EXPECT_FALSE(ended) << Describe(ended);
        EXPECT_NE(session.SessionId(), id);
        EXPECT_EQ(
            First(db.Query(L"select count(*) from information_schema.PROCESSLIST where ID=" + id)),
            L"0");
        if (c.held) {
            EXPECT_TRUE(proxy.Released(20000));
        }
        EXPECT_EQ(First(db.Query(kFolders)), L"0");
    }
}

TEST(LostSessionTest, WithoutALostSessionNothingCanBeTold) {
    test::TestDatabase db;
    ASSERT_TRUE(db.ok()) << test::Utf8(db.error());
    DbSession session(db.ConnString());
    ASSERT_FALSE(test::Outcome(session.Open()));
    EXPECT_TRUE(test::Outcome(EndLostSession(session)));
}

TEST(LostSessionTest, ACommittedCountSkipsOpenTransactionsWhateverTheServersDefault) {
    test::StallableDatabase db;
    ASSERT_TRUE(db.ok()) << test::Utf8(db.error());
    const test::GlobalIsolation isolation(db, L"READ-UNCOMMITTED");
    ASSERT_EQ(isolation.error(), L"");
    DbSession writer(db.ConnString()), reader(db.ConnString());
    ASSERT_FALSE(test::Outcome(writer.Begin()));
    const std::wstring_view name[] = {L"open"};
    ASSERT_FALSE(test::Outcome(writer.Execute(kInsertFolder, name)));

    EXPECT_EQ(test::Outcome(reader.QueryValue(kFolders, L"c")).value, L"1")
        << "the server's default reads uncommitted rows";
    const test::QueriedValue committed = test::Outcome(reader.QueryCommittedValue(kFolders, L"c"));
    EXPECT_EQ(committed.value, L"0") << Describe(committed.error);
    EXPECT_EQ(test::Outcome(reader.QueryValue(L"select @@tx_isolation as l", L"l")).value,
              L"READ-UNCOMMITTED")
        << "the next statement has the server's own level";
    writer.Rollback();
}

}  // namespace
}  // namespace ksr
