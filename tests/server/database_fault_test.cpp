#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "server/database.h"
#include "support/db_outcome.h"
#include "support/fault_db.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace ksr {
namespace {

constexpr std::wstring_view kInsertFolder =
    L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
    L"values('Public',?,'0',1,'1','admin')";
constexpr std::wstring_view kInsertFile =
    L"insert into PtpFile(Msg_ID,MyID,UsName,TypePath,PcSize,PtpFolderID,FilPath,To_Type,"
    L"FileState,CreatorID,CreatorName) values('m','Public',?,'DownLoad/Public','1','1',?,1,0,"
    L"'1','admin')";

std::optional<Error> InsertFolder(DbSession& session, std::wstring_view name) {
    const std::wstring_view params[] = {name};
    return test::Outcome(session.Execute(kInsertFolder, params));
}

std::optional<Error> InsertFile(DbSession& session, std::wstring_view name) {
    const std::wstring_view params[] = {name, L"DownLoad/Public/f"};
    return test::Outcome(session.Execute(kInsertFile, params));
}

std::wstring Count(test::TestDatabase& db, const std::wstring& table) {
    const auto rows = db.Query(L"select count(*) from " + table);
    return rows.empty() || rows[0].empty() || !rows[0][0] ? L"?" : *rows[0][0];
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string Describe(const std::optional<Error>& error) {
    if (!error) return "no error";
    return test::Utf8(error->sqlstate + L" " + std::to_wstring(error->nativeError) + L" " +
                      error->message);
}

class DatabaseTransactionTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db_.ok()) << test::Utf8(db_.error()); }
    test::TestDatabase db_;
};

TEST_F(DatabaseTransactionTest, CommitKeepsEveryRowAndOnlyThen) {
    DbSession session(db_.ConnString());
    ASSERT_FALSE(test::Outcome(session.Begin()));
    EXPECT_TRUE(session.InTransaction());
    ASSERT_FALSE(InsertFolder(session, L"a"));
    ASSERT_FALSE(InsertFolder(session, L"b"));
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"0") << "another connection sees nothing before Commit";
    ASSERT_FALSE(test::Outcome(session.Commit()));
    EXPECT_FALSE(session.InTransaction());
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"2");

    ASSERT_FALSE(InsertFolder(session, L"c"));
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"3") << "after Commit each statement commits again";

    for (int round = 0; round < 2; ++round) {
        ASSERT_FALSE(test::Outcome(session.Begin()));
        ASSERT_FALSE(InsertFolder(session, L"undone"));
        session.Rollback();
        ASSERT_FALSE(test::Outcome(session.Begin()));
        ASSERT_FALSE(InsertFolder(session, L"kept"));
        ASSERT_FALSE(test::Outcome(session.Commit()));
    }
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"5") << "transactions back to back stay apart";
}

TEST_F(DatabaseTransactionTest, RollbackLeavesNothingAndIsSafeAnyTime) {
    DbSession session(db_.ConnString());
    session.Rollback();  // no connection, no transaction
    ASSERT_FALSE(test::Outcome(session.Begin()));
    EXPECT_TRUE(test::Outcome(session.Begin())) << "a second Begin inside a transaction is refused";
    ASSERT_FALSE(InsertFolder(session, L"a"));
    ASSERT_FALSE(InsertFile(session, L"a.txt"));
    session.Rollback();
    session.Rollback();
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"0");
    EXPECT_EQ(Count(db_, L"PtpFile"), L"0");
    ASSERT_FALSE(InsertFolder(session, L"b"));
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"1") << "autocommit is back after Rollback";
    EXPECT_FALSE(test::Outcome(session.Commit()))
        << "Commit without a transaction has nothing to lose";
}

TEST_F(DatabaseTransactionTest, CommitAfterTheConnectionWasKilledFails) {
    for (const bool statementAfterKill : {false, true}) {
        SCOPED_TRACE(statementAfterKill ? "a statement after the kill" : "Commit right after");
        DbSession session(db_.ConnString());
        ASSERT_FALSE(test::Outcome(session.Begin()));
        ASSERT_FALSE(InsertFolder(session, L"lost"));
        const test::QueriedValue id =
            test::Outcome(session.QueryValue(L"select connection_id() as c", L"c"));
        ASSERT_TRUE(id.value) << Describe(id.error);
        ASSERT_EQ(db_.Exec(L"kill " + *id.value), L"");
        if (statementAfterKill) {
            const auto error = InsertFolder(session, L"lost too");
            ASSERT_TRUE(error);
            EXPECT_TRUE(error->IsConnectionLevel()) << Describe(error);
            EXPECT_FALSE(session.IsOpen());
            const auto again = InsertFolder(session, L"would autocommit");
            ASSERT_TRUE(again) << "no statement runs outside the lost transaction";
            EXPECT_TRUE(again->IsConnectionLevel());
        }
        const auto commit = test::Outcome(session.Commit());
        ASSERT_TRUE(commit) << "a transaction whose connection was lost is never committed";
        EXPECT_TRUE(commit->IsConnectionLevel()) << Describe(commit);
        EXPECT_EQ(Count(db_, L"PtpFolder"), L"0");

        ASSERT_FALSE(InsertFolder(session, L"next")) << "the next statement reopens";
        EXPECT_EQ(Count(db_, L"PtpFolder"), L"1") << "in autocommit mode";
        ASSERT_EQ(db_.Exec(L"delete from PtpFolder"), L"");
    }
}

// A statement held by another session's lock is ended from another thread: it fails, nothing
// of its transaction lands, and the session goes on.
TEST_F(DatabaseTransactionTest, CancellingEndsTheStatementWaitingOnALock) {
    DbSession locker(db_.ConnString());
    ASSERT_FALSE(test::Outcome(locker.Execute(L"LOCK TABLES PtpFolder WRITE")));
    DbSession session(db_.ConnString(), 15, 300);
    ASSERT_FALSE(test::Outcome(session.Open()));
    EXPECT_EQ(session.RunningMs(), 0u);
    std::atomic<bool> inserted = false;
    std::optional<Error> waited;
    std::thread writer([&] {
        if (test::Outcome(session.Begin())) return;
        waited = InsertFolder(session, L"held");
        inserted = true;
    });
    for (int i = 0; i < 1500 && !inserted && session.RunningMs() < 500; ++i) Sleep(20);
    session.CancelRunning();
    // Bounded: without the cancel, only the unlock below would end the wait.
    for (int i = 0; i < 300 && !inserted; ++i) Sleep(100);
    const bool endedWhileLocked = inserted;
    ASSERT_FALSE(test::Outcome(locker.Execute(L"UNLOCK TABLES")));
    writer.join();
    EXPECT_TRUE(endedWhileLocked) << "the statement waited for the lock";
    EXPECT_TRUE(waited) << "a cancelled statement fails";
    session.Rollback();
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"0");
    EXPECT_EQ(session.RunningMs(), 0u);
    EXPECT_FALSE(InsertFolder(session, L"after")) << "the session is usable after a cancel";
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"1");
}

TEST_F(DatabaseTransactionTest, QueryRowReadsTheFirstRowInColumnOrder) {
    ASSERT_EQ(db_.Exec(L"insert into PtpFolder(PtpFolderID,MyID,UsName,ParentID,To_Type,CreatorID,"
                       L"CreatorName) values (7,'Public','名前','0',1,'1','admin'),"
                       L"(8,'Public','second','0',1,'1','admin')"),
              L"");
    DbSession session(db_.ConnString());
    const std::wstring_view owner[] = {L"Public"};
    const test::QueriedRow row = test::Outcome(session.QueryRow(
        L"select UsName, PtpFolderID, NULL as nothing from PtpFolder where MyID=? order by "
        L"PtpFolderID",
        owner));
    ASSERT_FALSE(row.error) << Describe(row.error);
    EXPECT_EQ(row.values, (test::Row{L"名前", L"7", std::nullopt}));

    const test::QueriedRow none =
        test::Outcome(session.QueryRow(L"select UsName from PtpFolder where MyID='nobody'"));
    EXPECT_FALSE(none.error);
    EXPECT_TRUE(none.values.empty());
    const test::QueriedRow bad = test::Outcome(session.QueryRow(L"select nonsense from nowhere"));
    EXPECT_TRUE(bad.error);
    EXPECT_TRUE(bad.values.empty());
}

// Every row and value comes back exactly, however the rows are fetched: many at a time, past
// the first block, with values at a column's full width in characters beyond the BMP, NULLs and
// empty texts; and a value at a time from a column too wide for a block.
TEST_F(DatabaseTransactionTest, QueryRowsReadsEveryRowExactly) {
    ASSERT_EQ(db_.Exec(L"create table wide(n int primary key, narrow varchar(8) null, "
                       L"broad varchar(5000) null) default charset=utf8mb4"),
              L"");
    std::vector<test::Row> want;
    for (int n = 0; n < 150; ++n) {
        std::wstring narrow = n % 3 == 0 ? L"" : std::wstring(8, L'a' + n % 26);
        if (n % 5 == 1) narrow = L"\U0001F600\U0001F600\U0001F600\U0001F600名前名前";
        const std::wstring broad(n % 7 == 0 ? 5000 : n, L'字');
        std::optional<std::wstring> kept = n % 11 == 4 ? std::nullopt : std::optional(narrow);
        ASSERT_EQ(db_.Exec(L"insert into wide values (" + std::to_wstring(n) + L"," +
                           (kept ? L"'" + *kept + L"'" : L"NULL") + L",'" + broad + L"')"),
                  L"");
        want.push_back({std::to_wstring(n), kept, broad});
    }
    DbSession session(db_.ConnString());
    for (const bool wideToo : {false, true}) {
        SCOPED_TRACE(wideToo ? "with the wide column" : "narrow columns");
        const Result<std::vector<DbRow>> rows =
            session.QueryRows(wideToo ? L"select n, narrow, broad from wide order by n"
                                      : L"select n, narrow from wide order by n");
        ASSERT_TRUE(rows.ok());
        ASSERT_EQ(rows->size(), want.size());
        for (size_t i = 0; i < want.size(); ++i) {
            test::Row expected = want[i];
            if (!wideToo) expected.pop_back();
            EXPECT_EQ((*rows)[i], expected) << "row " << i;
        }
    }
}

// MariaDB in strict mode refuses an altered value outright; the session reports it as a
// truncation all the same.
TEST_F(DatabaseTransactionTest, StrictServerRefusesAlteredValuesAsTruncation) {
    ASSERT_EQ(db_.Exec(L"alter table PtpFile convert to character set utf8mb3"), L"");
    DbSession session(db_.ConnString());
    ASSERT_FALSE(InsertFile(session, L"plain.txt"));
    const auto emoji = InsertFile(session, L"smile\U0001F600.txt");
    ASSERT_TRUE(emoji);
    EXPECT_TRUE(emoji->IsTruncation()) << Describe(emoji);
    const auto tooLong = InsertFile(session, std::wstring(101, L'x'));
    ASSERT_TRUE(tooLong);
    EXPECT_TRUE(tooLong->IsTruncation()) << Describe(tooLong);
    EXPECT_FALSE(tooLong->IsConnectionLevel());
    EXPECT_EQ(Count(db_, L"PtpFile"), L"1");

    const auto syntax = test::Outcome(session.Execute(L"insert into nowhere values(1)"));
    ASSERT_TRUE(syntax);
    EXPECT_FALSE(syntax->IsTruncation()) << Describe(syntax);
}

class LaxServerTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db_.ok()) << test::Utf8(db_.error()); }
    test::LaxDatabase db_;
};

TEST_F(LaxServerTest, ValuesStoredAlteredFailWithTheServersWarning) {
    DbSession session(db_.ConnString());
    ASSERT_FALSE(InsertFile(session, L"plain 中文.txt")) << "3-byte characters fit";

    const auto emoji = InsertFile(session, L"smile\U0001F600.txt");
    ASSERT_TRUE(emoji) << "the server stored the emoji as '?' with only a warning";
    EXPECT_TRUE(emoji->IsTruncation());
    EXPECT_EQ(emoji->nativeError, 1366);
    EXPECT_NE(emoji->message.find(L"Incorrect string value"), std::wstring::npos)
        << Describe(emoji);

    const auto tooLong = InsertFile(session, std::wstring(101, L'x'));
    ASSERT_TRUE(tooLong) << "the server cut the name to 100 characters with only a warning";
    EXPECT_TRUE(tooLong->IsTruncation());
    EXPECT_EQ(tooLong->nativeError, 1265) << Describe(tooLong);
    EXPECT_FALSE(tooLong->IsConnectionLevel());

    const std::wstring_view md5Row[] = {L"DownLoad/Public", L"1", L"D:/store/\U0001F600",
                                        L"0123456789abcdef0123456789abcdef"};
    const auto md5 = test::Outcome(
        session.Execute(L"insert into MD5File(MyID,FormFileType,TypePath,PcSize,FilPath,MD5Hash) "
                        L"values('1',1,?,?,?,?)",
                        md5Row));
    ASSERT_TRUE(md5);
    EXPECT_TRUE(md5->IsTruncation()) << Describe(md5);

    // Inside a transaction the caller undoes the altered row.
    ASSERT_FALSE(test::Outcome(session.Begin()));
    ASSERT_TRUE(InsertFile(session, L"again\U0001F600.txt"));
    session.Rollback();
    EXPECT_EQ(Count(db_, L"PtpFile"), L"3") << "only the plain row and the two autocommitted";
    ASSERT_FALSE(InsertFile(session, L"after.txt")) << "the session stays usable";
}

class StalledServerTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db_.ok()) << test::Utf8(db_.error()); }
    test::StallableDatabase db_;
};

TEST_F(StalledServerTest, StatementsAndReopeningGiveUpWhileTheServerDoesNotAnswer) {
    DbSession session(db_.ConnString(), 3, 3);
    ASSERT_FALSE(InsertFolder(session, L"before"));
    db_.Stall();

    auto start = std::chrono::steady_clock::now();
    const auto error = InsertFolder(session, L"stalled");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->IsConnectionLevel()) << Describe(error);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_GE(SecondsSince(start), 2.5);
    EXPECT_LT(SecondsSince(start), 10);

    start = std::chrono::steady_clock::now();
    const auto reopen = test::Outcome(session.Open());
    ASSERT_TRUE(reopen) << "a server that accepts but never answers is no connection";
    EXPECT_TRUE(reopen->IsConnectionLevel()) << Describe(reopen);
    EXPECT_LT(SecondsSince(start), 10);

    db_.Resume();
    EXPECT_FALSE(test::Outcome(session.Open()));
    ASSERT_FALSE(InsertFolder(session, L"after"));
    // The abandoned statement waited in the server's socket and ran once it resumed: outside a
    // transaction a timed-out statement may still have taken effect.
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"3");
}

TEST_F(StalledServerTest, TransactionStalledThenResumedIsNotCommitted) {
    DbSession session(db_.ConnString(), 3, 3);
    ASSERT_FALSE(test::Outcome(session.Begin()));
    ASSERT_FALSE(InsertFolder(session, L"first"));
    db_.Stall();
    const auto error = InsertFolder(session, L"second");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->IsConnectionLevel());
    db_.Resume();
    const auto commit = test::Outcome(session.Commit());
    EXPECT_TRUE(commit) << "the transaction died with its connection";
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"0");
}

TEST_F(StalledServerTest, DroppedServerRefusesAtOnceAndComesBack) {
    DbSession session(db_.ConnString(), 3, 3);
    ASSERT_FALSE(InsertFolder(session, L"before"));
    db_.Stall();
    db_.Drop();
    const auto start = std::chrono::steady_clock::now();
    const auto error = InsertFolder(session, L"gone");
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->IsConnectionLevel()) << Describe(error);
    EXPECT_TRUE(test::Outcome(session.Open()));
    EXPECT_LT(SecondsSince(start), 2) << "a connection reset and a closed port answer at once";

    db_.Resume();
    const auto after = InsertFolder(session, L"after");
    ASSERT_FALSE(after) << Describe(after);
    EXPECT_EQ(Count(db_, L"PtpFolder"), L"2") << "the committed row survived the kill";
}

}  // namespace
}  // namespace ksr
