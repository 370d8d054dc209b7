#include <gtest/gtest.h>

#include "server/connection_string.h"

namespace ksr {
namespace {

const ServerSettings kMySql{L"mysql", L"127.0.0.1", L"3306", L"ksr", L"root", L"secret"};

TEST(BuildConnectionString, FollowsTheTwoTemplates) {
    EXPECT_EQ(BuildConnectionString(kMySql),
              L"DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;Port=3306;DATABASE=ksr;"
              L"UID=root;PWD=secret;OPTION=3;stmt=");
    ServerSettings mssql = kMySql;
    mssql.type = L"MySQL";  // any other text, capitals included, means SQL Server
    EXPECT_EQ(BuildConnectionString(mssql),
              L"Provider=SQLOLEDB.1; User ID=root;Password=secret;Initial Catalog=ksr; Data "
              L"Source=127.0.0.1,3306");
    EXPECT_EQ(BuildConnectionString(ServerSettings{}),
              L"Provider=SQLOLEDB.1; User ID=;Password=;Initial Catalog=; Data Source=,");
}

TEST(ToOdbcConnectionString, PassesTheMySqlFormUnchanged) {
    const std::wstring text = BuildConnectionString(kMySql);
    EXPECT_EQ(ToOdbcConnectionString(text), text);
    EXPECT_EQ(ToOdbcConnectionString(L"DSN=anything;UID=x"), L"DSN=anything;UID=x");
}

TEST(ToOdbcConnectionString, TranslatesTheOleDbForm) {
    ServerSettings mssql = kMySql;
    mssql.type = L"mssql";
    mssql.server = L"db.example";
    mssql.port = L"1433";
    EXPECT_EQ(ToOdbcConnectionString(BuildConnectionString(mssql)),
              L"DRIVER={SQL Server};SERVER=db.example,1433;DATABASE=ksr;UID=root;PWD=secret");
}

TEST(ToOdbcConnectionString, QuotesValuesThatWouldBreakTheString) {
    ServerSettings s = kMySql;
    s.password = L"a;b}c{";
    EXPECT_EQ(ToOdbcConnectionString(BuildConnectionString(s)),
              L"DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;Port=3306;DATABASE=ksr;"
              L"UID=root;PWD={a;b}}c{};OPTION=3;stmt=");
    s.type = L"";
    EXPECT_EQ(ToOdbcConnectionString(BuildConnectionString(s)),
              L"DRIVER={SQL Server};SERVER=127.0.0.1,3306;DATABASE=ksr;UID=root;PWD={a;b}}c{}");
}

TEST(ToOdbcConnectionString, AddsTheDriverTimeoutsToTheMySqlFormOnly) {
    EXPECT_EQ(ToOdbcConnectionString(BuildConnectionString(kMySql), DriverTimeouts{15, 30}),
              L"DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=127.0.0.1;Port=3306;DATABASE=ksr;"
              L"UID=root;PWD=secret;OPTION=3;stmt=;CONN_TIMEOUT=15;READ_TIMEOUT=30;"
              L"WRITE_TIMEOUT=30");
    EXPECT_EQ(ToOdbcConnectionString(BuildConnectionString(kMySql), DriverTimeouts{}),
              BuildConnectionString(kMySql));
    ServerSettings mssql = kMySql;
    mssql.type = L"mssql";
    EXPECT_EQ(ToOdbcConnectionString(BuildConnectionString(mssql), DriverTimeouts{15, 30}),
              ToOdbcConnectionString(BuildConnectionString(mssql)));
    EXPECT_EQ(ToOdbcConnectionString(L"DSN=x", DriverTimeouts{15, 30}), L"DSN=x");
}

TEST(ParseConnectionString, GivesBackTheSettings) {
    ServerSettings s{L"mysql", L"h", L"1", L"d;b", L"u=x", L"p;PWD=q"};
    const auto back = ParseConnectionString(BuildConnectionString(s));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->password, L"p;PWD=q");
    EXPECT_EQ(back->user, L"u=x");
    s.type = L"sqlserver";
    const auto oledb = ParseConnectionString(BuildConnectionString(s));
    ASSERT_TRUE(oledb);
    EXPECT_EQ(oledb->server, L"h");
    EXPECT_EQ(oledb->port, L"1");
    EXPECT_EQ(oledb->password, L"p;PWD=q");
    EXPECT_FALSE(ParseConnectionString(L"DSN=x"));
}

}  // namespace
}  // namespace ksr
