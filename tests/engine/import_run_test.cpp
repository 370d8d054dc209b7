#include <windows.h>

#include "engine/messages.h"
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
    EXPECT_EQ(window_.boxes[0].caption, L"") << "the application title";
    EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK));
    EXPECT_FALSE(state_.DeleteAfterImport);
    EXPECT_EQ(window_.text3, L"Text3");
    EXPECT_TRUE(window_.command3Changes.empty()) << "a refused run never disables Command3";
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
    EXPECT_TRUE(window_.command3);
    EXPECT_EQ(window_.label2, L"");
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
    EXPECT_TRUE(window_.command3);
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
    EXPECT_EQ(Rows(L"select PtpFile_Vesr, PtpFolder_Vesr from UpDateForm")[0], (Row{L"2", L"2"}));
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\y.txt"), "yy");
}

TEST_F(ImportRunTest, ProgressAndButtonsDuringTheRun) {
    test::WriteBytes(Src(L"p\\a.bin"), std::string(300, 'a'));
    test::WriteBytes(Src(L"p\\b.bin"), std::string(700, 'b'));
    Run(Src(L"p"));
    ASSERT_GE(window_.labels.size(), 2u);
    EXPECT_EQ(window_.labels[window_.labels.size() - 2], L"100%");
    EXPECT_EQ(window_.labels.back(), L"") << "Label2 is emptied at the end";
    const std::wstring first = window_.labels.front();
    EXPECT_TRUE(first == L"30%" || first == L"70%") << test::Utf8(first);
    EXPECT_EQ(window_.command3Changes, (std::vector<bool>{false, true}));
    EXPECT_EQ(state_.SourceBytesTotal, L"1000");
}

}  // namespace
}  // namespace ksr
