#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>

#include "server/database.h"
#include "support/db_outcome.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace ksr {
namespace {

class DatabaseTest : public testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(db_.ok()) << test::Utf8(db_.error()); }
    test::TestDatabase db_;
};

std::wstring Hex(const std::string& bytes) {
    static const wchar_t* digits = L"0123456789ABCDEF";
    std::wstring out;
    for (const unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

TEST_F(DatabaseTest, BoundValuesArriveByteExact) {
    DbSession session(db_.ConnString());
    const std::wstring name = L"A&B'C%D\\E 中文 \U0001F600 '); drop table PtpFile; --";
    const std::wstring_view params[] = {L"Public", name, L"0"};
    ASSERT_FALSE(test::Outcome(
        session.Execute(L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,"
                        L"CreatorName) values(?,?,?,1,'1','admin')",
                        params)));
    const std::wstring_view owner[] = {L"Public"};
    const test::QueriedValue read = test::Outcome(
        session.QueryValue(L"Select UsName from PtpFolder where MyID=?", L"UsName", owner));
    ASSERT_FALSE(read.error);
    EXPECT_EQ(read.value, name);
    const auto rows = db_.Query(L"select hex(UsName) from PtpFolder; ");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][0], Hex(test::Utf8(name))) << "stored as exact UTF-8";
    EXPECT_EQ(db_.Query(L"select count(*) from PtpFile")[0][0], L"0");
}

TEST_F(DatabaseTest, StoreRootQueryAndVersionCounters) {
    ASSERT_EQ(db_.Exec(L"insert into Tab_Config(Col_Name,Col_Data,Col_Genre,Col_Disabled) values "
                       L"('KSR_CONSOLE','D:/store/根',"
                       L"'SysConfig',0),('KSR_CONSOLE','D:/other','SysConfig',1)"),
              L"");
    DbSession session(db_.ConnString());
    const test::QueriedValue root = test::Outcome(session.QueryValue(
        L"Select * from Tab_Config where Col_Name='KSR_CONSOLE' and Col_Genre='SysConfig' and "
        L"Col_Disabled=0",
        L"Col_Data"));
    EXPECT_FALSE(root.error);
    EXPECT_EQ(root.value, L"D:/store/根");
    EXPECT_FALSE(
        test::Outcome(session.Execute(L"update UpDateForm set PtpFile_Vesr=PtpFile_Vesr+1,"
                                      L"PtpFolder_Vesr=PtpFolder_Vesr+1 where id=1")));
    const auto rows = db_.Query(L"select PtpFile_Vesr, PtpFolder_Vesr from UpDateForm");
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0], (test::Row{L"1", L"1"}));
}

TEST_F(DatabaseTest, IntegersNullsAndMissingRows) {
    DbSession session(db_.ConnString());
    const std::wstring_view owner[] = {L"Public"};
    const test::QueriedValue none = test::Outcome(session.QueryValue(
        L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=?", L"c", owner));
    EXPECT_FALSE(none.error);
    EXPECT_FALSE(none.value) << "max() of no rows is NULL";
    ASSERT_EQ(db_.Exec(L"insert into PtpFolder(PtpFolderID,MyID,UsName,ParentID,To_Type,CreatorID,"
                       L"CreatorName) values (1234567,'Public','a','0',1,'1','admin')"),
              L"");
    const test::QueriedValue id = test::Outcome(session.QueryValue(
        L"Select max(CAST(PtpFolderID AS SIGNED)) as c from PtpFolder where MyID=?", L"C", owner));
    EXPECT_EQ(id.value, L"1234567") << "column names match without regard to case";
    const test::QueriedValue noRow = test::Outcome(
        session.QueryValue(L"Select UsName from PtpFolder where MyID='nobody'", L"UsName"));
    EXPECT_FALSE(noRow.value);
    EXPECT_FALSE(noRow.error);
    const test::QueriedValue badSql =
        test::Outcome(session.QueryValue(L"Select nonsense from nowhere", L"c"));
    ASSERT_TRUE(badSql.error);
    EXPECT_EQ(badSql.error->sqlstate.size(), 5u);
    EXPECT_FALSE(test::Outcome(
        session.Execute(L"update UpDateForm set PtpFile_Vesr=PtpFile_Vesr+1 where id=1")))
        << "a failed statement leaves the session usable";
}

TEST_F(DatabaseTest, LongValuesRoundTrip) {
    DbSession session(db_.ConnString());
    std::wstring path = L"DownLoad/Public";
    while (path.size() < 1900) path += L"/目录-level";
    const std::wstring_view row[] = {L"n", L"1", path, L"0123456789abcdef0123456789abcdef"};
    ASSERT_FALSE(test::Outcome(
        session.Execute(L"insert into MD5File(MyID,FormFileType,TypePath,PcSize,FilPath,MD5Hash) "
                        L"values('1',1,?,?,?,?)",
                        row)));
    EXPECT_EQ(test::Outcome(session.QueryValue(L"select FilPath from MD5File", L"FilPath")).value,
              path);
}

TEST_F(DatabaseTest, WrongPasswordFailsWithItsSqlState) {
    ServerSettings settings = db_.Settings();
    settings.password = L"wrong";
    DbSession session(BuildConnectionString(settings));
    const auto error = test::Outcome(session.Open());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->sqlstate.size(), 5u);
    EXPECT_NE(error->message.find(L"Access denied"), std::wstring::npos)
        << test::Utf8(error->message);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_TRUE(test::Outcome(session.Execute(L"select 1")))
        << "statements of a session that can't open fail";
}

TEST_F(DatabaseTest, PasswordWithSemicolonAndBracesConnects) {
    ASSERT_EQ(db_.Exec(L"create or replace user 'ksr_semi'@'127.0.0.1' identified by 'a;b}c{d'"),
              L"");
    ASSERT_EQ(db_.Exec(L"grant all on " + db_.name() + L".* to 'ksr_semi'@'127.0.0.1'"), L"");
    ServerSettings settings = db_.Settings();
    settings.user = L"ksr_semi";
    settings.password = L"a;b}c{d";
    DbSession session(BuildConnectionString(settings));
    const auto error = test::Outcome(session.Open());
    EXPECT_FALSE(error) << test::Utf8(error ? error->message : L"");
    db_.Exec(L"drop user 'ksr_semi'@'127.0.0.1'");
}

TEST_F(DatabaseTest, SessionComesBackAfterItsConnectionIsKilled) {
    DbSession session(db_.ConnString());
    const test::QueriedValue before =
        test::Outcome(session.QueryValue(L"select connection_id() as c", L"c"));
    ASSERT_TRUE(before.value);
    ASSERT_EQ(db_.Exec(L"kill " + *before.value), L"");

    int failures = 0;
    std::optional<std::wstring> after;
    for (int attempt = 0; attempt < 3 && !after; ++attempt) {
        const test::QueriedValue value =
            test::Outcome(session.QueryValue(L"select connection_id() as c", L"c"));
        if (value.error) {
            EXPECT_TRUE(value.error->IsConnectionLevel()) << test::Utf8(value.error->sqlstate);
            ++failures;
        }
        after = value.value;
    }
    ASSERT_TRUE(after) << "the next unit of work reconnects";
    EXPECT_NE(*after, *before.value);
    EXPECT_LE(failures, 1);
}

TEST_F(DatabaseTest, ClosedSessionsLeaveNoConnectionBehind) {
    // Every connection a session made is disconnected before its handle goes: the server's
    // list of connections is back where it was.
    const auto connections = [&] {
        const auto rows = db_.Query(L"select count(*) from information_schema.processlist");
        return rows.empty() || rows[0].empty() || !rows[0][0] ? L"?" : *rows[0][0];
    };
    const std::wstring before = connections();
    for (int i = 0; i < 5; ++i) {
        DbSession session(db_.ConnString());
        ASSERT_FALSE(test::Outcome(session.Open()));
        ASSERT_TRUE(session.IsOpen());
        if (i % 2 == 0) session.Close();
    }
    std::wstring after = connections();
    for (int wait = 0; wait < 20 && after != before; ++wait) {
        Sleep(100);
        after = connections();
    }
    EXPECT_EQ(after, before);
}

TEST(SqlServerConnection, ClosedPortFailsWithinTheLoginTimeout) {
    const auto start = std::chrono::steady_clock::now();
    // Port 1 on loopback: nothing listens there.
    DbSession session(
        L"Provider=SQLOLEDB.1; User ID=sa;Password=x;Initial Catalog=ksr; Data Source=127.0.0.1,1",
        5);
    const auto error = test::Outcome(session.Open());
    const auto seconds =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    ASSERT_TRUE(error);
    EXPECT_FALSE(session.IsOpen());
    EXPECT_LT(seconds, 30);
}

}  // namespace
}  // namespace ksr
