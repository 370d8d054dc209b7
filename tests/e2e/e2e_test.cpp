#include <gtest/gtest.h>

#include <windows.h>

#include "app/message_texts.h"
#include "support/server_install.h"
#include "tests/e2e/operator.h"
#include "tests/e2e/planted_dlls.h"

namespace ksr {
namespace {

// The real executable, driven through its window by the operator helper, against a server
// installation registered where the tool looks for it.
TEST(EndToEnd, OperatorImportsAFolderThroughTheRealProgram) {
    test::ServerInstall server(true);
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    const std::wstring root = server.sources + L"\\公共文档 & 资料";
    test::WriteBytes(root + L"\\说明.txt", "readme");
    test::WriteBytes(root + L"\\报告\\2026\\年度报告.txt", "annual");
    test::WriteBytes(root + L"\\空文件.txt", "");

    e2e::OperatorScript script;
    script.exe = test::BuildOutput(L"app\\ksrimport.exe");
    script.folder = root;
    script.rootMode = true;
    script.deleteSources = true;
    const e2e::OperatorResult result = e2e::PlayOperator(script);
    ASSERT_TRUE(result.ok) << test::Utf8(result.failure);

    EXPECT_EQ(result.text1, root) << "Text1 shows the folder as picked";
    ASSERT_EQ(result.messages.size(), 2u);
    EXPECT_EQ(result.messages[0], msg::kDeleteQuestion);
    EXPECT_EQ(result.messages[1], msg::kSucceeded);
    EXPECT_EQ(result.exitCode, 0u);
    EXPECT_FALSE(result.progress.empty());
    // The title puts the run's percentage in front while the run goes on.
    for (const std::wstring& title : result.titles) {
        const size_t dash = title.find(L"% \u2013 ");
        EXPECT_NE(dash, std::wstring::npos) << test::Utf8(title);
        EXPECT_EQ(title.substr(dash + 4), kAppTitle);
    }

    EXPECT_EQ(
        server.db.Query(L"select UsName, ParentID from PtpFolder order by PtpFolderID"),
        (std::vector<test::Row>{{L"公共文档   资料", L"0"}, {L"报告", L"1"}, {L"2026", L"2"}}));
    EXPECT_EQ(server.db.Query(L"select count(*) from PtpFile")[0][0], L"3");
    EXPECT_EQ(test::ReadBytes(server.store +
                              L"\\DownLoad\\Public\\公共文档   资料\\报告\\2026\\年度报告.txt"),
              "annual");
    EXPECT_FALSE(test::Exists(root + L"\\说明.txt")) << "the operator asked for the sources to go";
}

// Run elevated from a download folder, the program takes no DLL from its own folder, even where
// Windows' search order would: the tests run with WINEDLLOVERRIDES giving it.
TEST(EndToEnd, DllsPlantedBesideTheProgramAreNotLoaded) {
    test::ServerInstall server(true);
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    test::WriteBytes(server.sources + L"\\docs\\a.txt", "hashed through CNG, rows through ODBC");
    const std::wstring downloads = server.dir / L"Downloads";
    const std::wstring copy = e2e::CopyWithPlantedDlls(L"ksrimport.exe", downloads);
    e2e::OperatorScript script;
    script.exe = copy;
    script.folder = server.sources + L"\\docs";
    const e2e::OperatorResult result = e2e::PlayOperator(script);

    e2e::ExpectNoPlantedDllLoaded(downloads);
    ASSERT_TRUE(result.ok) << test::Utf8(result.failure);
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(result.messages[0], msg::kSucceeded);
    EXPECT_EQ(server.db.Query(L"select count(*) from PtpFile")[0][0], L"1");
}

}  // namespace
}  // namespace ksr
