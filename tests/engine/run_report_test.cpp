#include <windows.h>

#include "app/message_texts.h"
#include "engine/log_texts.h"
#include "engine/run_report.h"
#include "import_test_support.h"
#include "util/handles.h"

namespace ksr {
namespace {

// The report's lines, without its byte-order mark.
std::vector<std::wstring> ReportLines(const std::wstring& path) {
    const std::string bytes = test::ReadBytes(path);
    EXPECT_TRUE(bytes.starts_with("\xEF\xBB\xBF")) << "Excel needs the byte-order mark";
    const std::wstring text = test::FromUtf8(bytes.substr(3));
    std::vector<std::wstring> lines;
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find(L"\r\n", at);
        lines.push_back(text.substr(at, end - at));
        at = end == std::wstring::npos ? text.size() : end + 2;
    }
    return lines;
}

TEST(RunReport, QuotesFieldsAndKeepsTheNewestFifty) {
    EXPECT_EQ(CsvField(L"plain"), L"plain");
    EXPECT_EQ(CsvField(L"a,b"), L"\"a,b\"");
    EXPECT_EQ(CsvField(L"say \"hi\""), L"\"say \"\"hi\"\"\"");
    EXPECT_EQ(CsvField(L"two\r\nlines"), L"\"two\r\nlines\"");

    test::TempDir dir;
    RunSummary summary;
    GetLocalTime(&summary.started);
    std::wstring first;
    for (int i = 0; i < 53; ++i) {
        summary.started.wYear = static_cast<WORD>(2000 + i);
        const auto path = WriteRunReport(dir / L"reports", summary, {{L"C:\\a,b.txt", L"k", L"r"}});
        ASSERT_TRUE(path);
        if (i == 0) first = *path;
    }
    EXPECT_EQ(test::ListNames(dir / L"reports").size(), 50u);
    EXPECT_FALSE(test::Exists(first)) << "the oldest reports go";
    summary.started.wYear = 2052;
    const auto again = WriteRunReport(dir / L"reports", summary, {});
    ASSERT_TRUE(again) << "a second report of the same second gets a name of its own";
    EXPECT_TRUE(again->ends_with(L"-2.csv")) << test::Utf8(*again);
}

class RunReportTest : public test::ImportTest {};

// A locked file, a refused row and a failed delete: each is in the report with its reason.
TEST_F(RunReportTest, NamesEveryFailureWithItsReasonAndAddsUp) {
    ASSERT_EQ(server_.db.Exec(L"alter table MD5File add constraint no_bad check "
                              L"(TypePath <> 'refused.txt')"),
              L"");
    const std::wstring root = Src(L"report");
    test::WriteBytes(root + L"\\locked.txt", "locked");
    test::WriteBytes(root + L"\\refused.txt", "refused");
    test::WriteBytes(root + L"\\kept.txt", "kept");
    test::WriteBytes(root + L"\\fine.txt", "fine!");
    test::WriteBytes(root + L"\\sub\\deep.txt", "deep");
    unique_hfile locked(CreateFileW((root + L"\\locked.txt").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    unique_hfile kept(CreateFileW((root + L"\\kept.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                  nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked && kept);
    Run(root, false, true);
    locked.reset();
    kept.reset();

    const std::wstring& path = importer_.ReportPath();
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(path.starts_with(server_.dir / L"reports\\")) << test::Utf8(path);
    const std::wstring end = window_.boxes.back().text;
    EXPECT_TRUE(
        end.starts_with(std::wstring(msg::kPartlyFailedBefore) + L"3" + msg::kPartlyFailedAfter))
        << test::Utf8(end);
    EXPECT_TRUE(end.ends_with(std::wstring(L"\n\n") + msg::kReasonsIn + path)) << test::Utf8(end);
    ASSERT_EQ(window_.outcomes.size(), 1u);
    EXPECT_EQ(window_.outcomes[0].ending, RunOutcome::Ending::PartlyFailed);
    EXPECT_EQ(window_.outcomes[0].notImported, 3u);
    EXPECT_EQ(window_.outcomes[0].reportPath, path);

    const std::vector<std::wstring> lines = ReportLines(path);
    ASSERT_GE(lines.size(), 10u);
    EXPECT_TRUE(lines[0].starts_with(L"开始时间,"));
    EXPECT_TRUE(lines[1].starts_with(L"用时（秒）,"));
    EXPECT_EQ(lines[2], L"导入的文件,3") << "kept.txt, fine.txt and deep.txt";
    EXPECT_EQ(lines[3], L"导入的文件夹,1");
    EXPECT_EQ(lines[4], L"导入的字节,13");
    EXPECT_EQ(lines[5], L"未导入的项目,3");
    EXPECT_EQ(lines[7], L"路径,类别,原因");
    std::map<std::wstring, std::wstring> rows;
    for (size_t i = 8; i < lines.size(); ++i) {
        if (lines[i].empty()) continue;
        const size_t comma = lines[i].find(L',');
        rows[lines[i].substr(0, comma)] = lines[i].substr(comma + 1);
    }
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(rows[root + L"\\locked.txt"].starts_with(std::wstring(logtext::kKindFile) + L","))
        << test::Utf8(rows[root + L"\\locked.txt"]);
    EXPECT_NE(rows[root + L"\\locked.txt"].find(L"(错误 32)"), std::wstring::npos)
        << "the sharing violation, in words and number";
    EXPECT_NE(rows[root + L"\\refused.txt"].find(L"SQLSTATE "), std::wstring::npos)
        << test::Utf8(rows[root + L"\\refused.txt"]);
    EXPECT_TRUE(
        rows[root + L"\\kept.txt"].starts_with(std::wstring(logtext::kKindSourceKept) + L","))
        << test::Utf8(rows[root + L"\\kept.txt"]);
    EXPECT_TRUE(test::Exists(root + L"\\kept.txt"));
    EXPECT_TRUE(test::Exists(root + L"\\locked.txt"));
    EXPECT_TRUE(test::Exists(root + L"\\refused.txt"));
}

TEST_F(RunReportTest, ASuccessfulRunStillLeavesAReportButDoesNotMentionIt) {
    test::WriteBytes(Src(L"ok\\a.txt"), "a");
    Run(Src(L"ok"));
    EXPECT_EQ(window_.boxes.back().text, msg::kSucceeded);
    ASSERT_FALSE(importer_.ReportPath().empty());
    EXPECT_EQ(window_.outcomes.back().ending, RunOutcome::Ending::Succeeded);
    EXPECT_EQ(window_.outcomes.back().reportPath, L"")
        << "a report that lists nothing is not named";
    const std::vector<std::wstring> lines = ReportLines(importer_.ReportPath());
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[2], L"导入的文件,1");
    EXPECT_EQ(lines[5], L"未导入的项目,0");
}

}  // namespace
}  // namespace ksr
