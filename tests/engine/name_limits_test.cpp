// Names and store paths longer than the server's columns for them: the bounds come from the
// server's own catalogue, and a run turns such an item away before it copies.
#include <windows.h>

#include "engine/log_texts.h"
#include "engine/name_limits.h"
#include "import_test_support.h"
#include "server/database.h"
#include "support/fault_db.h"

namespace ksr {
namespace {

using NameLimitsTest = test::ImportTest;

// A name longer than its column was refused by a strict server with the driver's words and
// stored cut short by a lax one; now neither server is asked, and no store file is left.
TEST_F(NameLimitsTest, ARunImportsNoNameLongerThanItsColumn) {
    test::LaxDatabase lax;
    test::TestDatabase* databases[] = {&server_.db, &lax};
    for (test::TestDatabase* db : databases) {
        ASSERT_TRUE(db->ok()) << test::Utf8(db->error());
        SCOPED_TRACE(test::Utf8(db->name()));
        server_.WriteIni(db->Settings());
        if (db == &lax) {
            ASSERT_EQ(db->Exec(L"insert into Tab_Config(Col_Name,Col_Data,Col_Genre,Col_Disabled) "
                               L"values ('KSR_CONSOLE','" +
                               ReplaceAll(server_.store, L'\\', L'/') + L"','SysConfig',0)"),
                      L"");
        }
        test::NarrowNameColumns(*db);
        const std::wstring root = Src(L"long-" + db->name());
        const std::wstring longFile = root + L"\\" + std::wstring(41, L'f') + L".txt";
        const std::wstring longFolder = root + L"\\" + std::wstring(41, L'd');
        test::WriteBytes(root + L"\\ok.txt", "ok");
        test::WriteBytes(longFile, "long");
        test::WriteBytes(longFolder + L"\\in.txt", "in");
        Run(root);

        EXPECT_EQ(db->Query(L"select TypePath from PtpFile"),
                  (std::vector<test::Row>{{L"ok.txt"}}));
        EXPECT_EQ(db->Query(L"select count(*) from MD5File")[0][0], L"1");
        EXPECT_EQ(db->Query(L"select count(*) from PtpFolder")[0][0], L"0");
        EXPECT_EQ(ReasonFor(longFile), reason::kNameTooLong);
        EXPECT_EQ(ReasonFor(longFolder + L"\\"), reason::kNameTooLong);
        EXPECT_EQ(importer_.Failures().size(), 2u);
        EXPECT_EQ(test::ListNames(server_.store + L"\\DownLoad\\Public"),
                  std::vector<std::wstring>{L"ok.txt"})
            << "no store file or folder for the long names";
        test::RemoveTree(server_.store + L"\\DownLoad");
    }
}

// The bounds come from every table a name or path goes into: the tightest one counts.
TEST_F(NameLimitsTest, NameLimitsAreTheTightestColumnsOfTheServersOwnTables) {
    DbSession db(server_.db.ConnString());
    Result<NameLimits> limits = ReadNameLimits(db, true);
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->fileName, 255u);
    EXPECT_EQ(limits->filePath, 2000u);
    EXPECT_EQ(limits->folderName, 255u);
    // Another database's narrower tables on the same server are not this run's.
    test::TestDatabase other;
    test::NarrowNameColumns(other);
    EXPECT_EQ(ReadNameLimits(db, true).value_or(NameLimits{}).fileName, 255u);
    test::NarrowNameColumns(server_.db);
    limits = ReadNameLimits(db, true);
    ASSERT_TRUE(limits);
    EXPECT_EQ(limits->fileName, 40u);
    EXPECT_EQ(limits->filePath, 60u) << "MD5File's FilPath is narrower than PtpFile's";
    EXPECT_EQ(limits->folderName, 40u);
    const struct {
        std::wstring name;
        bool mysql, fits;
    } cases[] = {{std::wstring(40, L'x'), true, true},
                 {std::wstring(41, L'x'), true, false},
                 {std::wstring(39, L'x') + L"\U0001F600", true, true},
                 {std::wstring(39, L'x') + L"\U0001F600", false, false},
                 {std::wstring(40, L'x'), false, true}};
    for (const auto& c : cases) {
        NameLimits bounds = *limits;
        bounds.mysql = c.mysql;
        EXPECT_EQ(bounds.FolderFits(c.name), c.fits) << test::Utf8(c.name) << " " << c.mysql;
        EXPECT_EQ(bounds.FileFits(c.name, L"DownLoad/Public/x"), c.fits) << test::Utf8(c.name);
    }
}

}  // namespace
}  // namespace ksr
