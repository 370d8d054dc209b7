#include <gtest/gtest.h>

#include "server/ini.h"
#include "support/temp_dir.h"

namespace ksr {
namespace {

TEST(ReadIniString, ReadsTrimmedValues) {
    test::TempDir dir;
    const std::wstring path = dir / L"DataBase.ini";
    test::WriteBytes(path,
                     "[server_connection]\r\nDB_TYPE =   mysql   \r\nDB_PWD=\r\nDB_NAME=ksr db\r\n"
                     "DB_LONG=" +
                         std::string(200, 'x') + "\r\n[other]\r\nDB_TYPE=mssql\r\n");
    EXPECT_EQ(ReadIniString(path, L"server_connection", L"DB_TYPE"), L"mysql");
    EXPECT_EQ(ReadIniString(path, L"SERVER_CONNECTION", L"db_type"), L"mysql")
        << "section and key names ignore letter case";
    EXPECT_EQ(ReadIniString(path, L"server_connection", L"DB_NAME"), L"ksr db");
    EXPECT_EQ(ReadIniString(path, L"server_connection", L"DB_PWD"), L"");
    EXPECT_EQ(ReadIniString(path, L"server_connection", L"DB_LONG"), std::wstring(127, L'x'));
    EXPECT_EQ(ReadIniString(path, L"other", L"DB_TYPE"), L"mssql");
}

TEST(ReadIniString, MissingThingsReadAsEmptyText) {
    test::TempDir dir;
    const std::wstring path = dir / L"DataBase.ini";
    test::WriteBytes(path, "[server_connection]\r\nDB_TYPE=mysql\r\n");
    EXPECT_EQ(ReadIniString(path, L"server_connection", L"DB_USER"), L"");
    EXPECT_EQ(ReadIniString(path, L"nothing", L"DB_TYPE"), L"");
    EXPECT_EQ(ReadIniString(dir / L"absent.ini", L"server_connection", L"DB_TYPE"), L"");
}

TEST(ReadIniString, ReadsUtf16FilesWithChineseValues) {
    test::TempDir dir;
    const std::wstring path = dir / L"DataBase.ini";
    const std::wstring text = L"\uFEFF[server_connection]\r\nDB_NAME= 知识库 \r\n";
    test::WriteBytes(path, std::string(reinterpret_cast<const char*>(text.data()),
                                       text.size() * sizeof(wchar_t)));
    EXPECT_EQ(ReadIniString(path, L"server_connection", L"DB_NAME"), L"知识库");
}

}  // namespace
}  // namespace ksr
