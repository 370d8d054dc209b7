#include <windows.h>

#include <cmath>

#include "app/message_texts.h"
#include "import_test_support.h"

namespace ksr {
namespace {

using test::Row;

class ImportRunTest : public test::ImportTest {};

TEST_F(ImportRunTest, BothBoxesEmptyIsRefusedWithoutTouchingAnything) {
    state_.DeleteAfterImport = true;
    importer_.importfile();
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, msg::kChoosePath);
    EXPECT_EQ(window_.boxes[0].caption, kAppTitle);
    EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK));
    EXPECT_FALSE(state_.DeleteAfterImport);
    EXPECT_EQ(window_.text3, L"Text3");
    EXPECT_EQ(window_.list1Clears, 0) << "a refused run leaves List1 alone";
    EXPECT_EQ(Rows(L"select PtpFile_Vesr from UpDateForm")[0][0], L"0");
}

TEST_F(ImportRunTest, NetworkDiskAloneIsRefusedToo) {
    test::MakeDirs(Src(L"net"));
    window_.text2 = Src(L"net");
    importer_.importfile();
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, msg::kChoosePath);
    EXPECT_EQ(Rows(L"select count(*) from PtpFolder")[0][0], L"0");
}

TEST_F(ImportRunTest, MissingRegistryValueIsRefused) {
    test::MakeDirs(Src(L"docs"));
    test::WriteBytes(Src(L"docs\\a.txt"), "a");
    importer_.SetRegistration({L"HKEY_LOCAL_MACHINE", L"Software\\ksrimport-test\\absent", L"exe"});
    Run(Src(L"docs"), false, true);
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, msg::kNotOnServer);
    EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK));
    EXPECT_FALSE(state_.DeleteAfterImport);
    EXPECT_EQ(window_.text3, L"Text3");
    EXPECT_EQ(state_.InstallDir, L"");
    EXPECT_TRUE(test::Exists(Src(L"docs\\a.txt")));
}

TEST_F(ImportRunTest, WrongPasswordEndsTheRunWithTheDriversMessage) {
    ServerSettings settings = server_.db.Settings();
    settings.password = L"Wrong-Secret-42";
    server_.WriteIni(settings);
    test::WriteBytes(Src(L"docs\\a.txt"), "a");
    Run(Src(L"docs"), false, true);
    ASSERT_EQ(window_.boxes.size(), 1u);
    const auto& box = window_.boxes[0];
    EXPECT_TRUE(box.text.starts_with(std::wstring(msg::kNoDatabase) + L"\n\n"))
        << test::Utf8(box.text);
    EXPECT_NE(box.text.find(L"Access denied"), std::wstring::npos) << test::Utf8(box.text);
    EXPECT_EQ(box.text.find(L"Wrong-Secret-42"), std::wstring::npos);
    EXPECT_EQ(box.caption, msg::kImportCaption);
    EXPECT_EQ(box.type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
    EXPECT_TRUE(window_.progress.empty());
    EXPECT_EQ(window_.list1Clears, 0);
    ASSERT_EQ(window_.outcomes.size(), 1u);
    EXPECT_EQ(window_.outcomes[0].ending, RunOutcome::Ending::DatabaseUnreachable);
    EXPECT_NE(window_.outcomes[0].driverMessage.find(L"Access denied"), std::wstring::npos);
    EXPECT_FALSE(state_.DeleteAfterImport);
    EXPECT_TRUE(test::ListNames(server_.store).empty()) << "nothing copied";
    EXPECT_TRUE(test::Exists(Src(L"docs\\a.txt")));
}

TEST_F(ImportRunTest, OtherDatabaseKindUsesTheSqlServerForm) {
    ServerSettings settings = server_.db.Settings();
    settings.type = L"MySQL";  // not exactly "mysql": the SQL Server form, whose server is absent
    settings.port = L"1";
    server_.WriteIni(settings);
    test::WriteBytes(Src(L"docs\\a.txt"), "a");
    Run(Src(L"docs"));
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_TRUE(window_.boxes[0].text.starts_with(msg::kNoDatabase));
    EXPECT_EQ(state_.ConnString, L"Provider=SQLOLEDB.1; User ID=" + settings.user + L";Password=" +
                                     settings.password + L";Initial Catalog=" + settings.name +
                                     L"; Data Source=127.0.0.1,1");
}

TEST_F(ImportRunTest, NoStoreRootEndsTheRunWithoutWalking) {
    server_.db.Exec(L"delete from Tab_Config");
    test::WriteBytes(Src(L"docs\\a.txt"), "a");
    Run(Src(L"docs"));
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, msg::kNoStoreRoot);
    EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
    EXPECT_EQ(Rows(L"select count(*) from PtpFile")[0][0], L"0");
    EXPECT_EQ(window_.outcomes.size(), 1u) << "the run tells the window once how it ended";
}

TEST_F(ImportRunTest, SettingsComeFromTheInstallation) {
    test::MakeDirs(Src(L"docs"));
    Run(Src(L"docs"));
    EXPECT_EQ(window_.text3, server_.exePath);
    EXPECT_EQ(state_.InstallDir, server_.installDir);
    EXPECT_EQ(state_.IniPath, server_.installDir + L"\\public\\Data\\DataBase.ini");
    EXPECT_EQ(state_.DB_TYPE, L"mysql") << "blanks around the INI value are trimmed";
    EXPECT_EQ(state_.ConnString, server_.db.ConnString());
    EXPECT_EQ(state_.KSR_CONSOLE, server_.store) << "\"/\" of Col_Data become \"\\\"";
    EXPECT_EQ(Rows(L"select PtpFile_Vesr, PtpFolder_Vesr from UpDateForm")[0], (Row{L"1", L"1"}))
        << "bumped even when nothing is imported";
    ASSERT_EQ(window_.boxes.size(), 1u);
    EXPECT_EQ(window_.boxes[0].text, msg::kSucceeded);
    EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK | MB_ICONINFORMATION));
}

TEST_F(ImportRunTest, TwoRunsInOneProgramLife) {
    test::WriteBytes(Src(L"one\\a&b\\x.txt"), "x");
    Run(Src(L"one"));
    ASSERT_EQ(window_.list1.size(), 1u);
    EXPECT_EQ(state_.SourceBytesTotal, L"1");

    // The second run can't read the store root any more: the first run's one stays in force.
    server_.db.Exec(L"update Tab_Config set Col_Disabled=1");
    test::WriteBytes(Src(L"two\\y.txt"), "yy");
    Run(Src(L"two"));
    EXPECT_EQ(state_.KSR_CONSOLE, server_.store);
    EXPECT_TRUE(window_.list1.empty()) << "List1 holds only the second run's lines";
    EXPECT_TRUE(importer_.List1().empty());
    EXPECT_EQ(state_.SourceBytesTotal, L"2");
    EXPECT_EQ(state_.CopiedBytes, 2u);
    // Each run that imported something bumps them before and after its walk.
    EXPECT_EQ(Rows(L"select PtpFile_Vesr, PtpFolder_Vesr from UpDateForm")[0], (Row{L"4", L"4"}));
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\y.txt"), "yy");
}

TEST_F(ImportRunTest, ProgressIsTheShareOfTheSourceBytesCopied) {
    test::WriteBytes(Src(L"p\\a.bin"), std::string(300, 'a'));
    test::WriteBytes(Src(L"p\\b.bin"), std::string(700, 'b'));
    Run(Src(L"p"));
    ASSERT_EQ(window_.progress.size(), 2u);
    const double first = window_.progress[0];
    EXPECT_TRUE(first == 0.3 || first == 0.7) << first;
    EXPECT_EQ(window_.progress[1], 1.0);
    EXPECT_EQ(window_.list1Clears, 1);
    EXPECT_EQ(state_.SourceBytesTotal, L"1000");
}

TEST_F(ImportRunTest, ProgressReachesTheWindowOncePerHundredth) {
    for (int i = 0; i < 250; ++i) test::WriteBytes(Src(L"many\\f" + std::to_wstring(i)), "x");
    Run(Src(L"many"));
    ASSERT_FALSE(window_.progress.empty());
    EXPECT_LE(window_.progress.size(), 101u) << "not one report a file";
    EXPECT_GE(window_.progress.size(), 90u) << "every hundredth is told";
    for (size_t i = 1; i < window_.progress.size(); ++i) {
        EXPECT_GT(std::llround(window_.progress[i] * 100),
                  std::llround(window_.progress[i - 1] * 100))
            << "each report is a new hundredth: " << i;
    }
    EXPECT_EQ(std::llround(window_.progress.back() * 100), 100) << "the last hundredth is told";

    // A second run starts its count afresh, against its own total.
    const size_t before = window_.progress.size();
    test::WriteBytes(Src(L"one\\a.txt"), "abcd");
    Run(Src(L"one"));
    ASSERT_EQ(window_.progress.size(), before + 1);
    EXPECT_EQ(window_.progress.back(), 1.0);
    EXPECT_EQ(state_.SourceBytesTotal, L"4");
}

}  // namespace
}  // namespace ksr
