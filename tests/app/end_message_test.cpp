#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/end_message.h"
#include "app/message_texts.h"
#include "support/temp_dir.h"

namespace ksr {
namespace {

using Ending = RunOutcome::Ending;
using Refusal = RunOutcome::Refusal;

RunOutcome Ended(Ending ending, uint64_t notImported = 0) {
    RunOutcome outcome;
    outcome.ending = ending;
    outcome.notImported = notImported;
    return outcome;
}

UINT Icon(const MessageBoxText& box) {
    return box.type & MB_ICONMASK;
}

TEST(EndMessage, SuccessOnlyWhenNothingFailed) {
    const MessageBoxText success = EndMessage(Ended(Ending::Succeeded));
    EXPECT_EQ(success.text, L"导入成功。");
    EXPECT_EQ(success.caption, L"导入文件");
    EXPECT_EQ(success.type, static_cast<UINT>(MB_OK | MB_ICONINFORMATION));

    // Anything short of everything imported, logged and announced to the clients.
    std::vector<RunOutcome> shortOf = {
        Ended(Ending::PartlyFailed, 1), Ended(Ending::Stopped, 0), Ended(Ending::DatabaseLost, 0),
        Ended(Ending::DatabaseNotAnswering, 0), Ended(Ending::InternalFailure)};
    shortOf.push_back(Ended(Ending::Succeeded));
    shortOf.back().logWritten = false;
    shortOf.push_back(Ended(Ending::Succeeded));
    shortOf.back().versionsBumped = false;
    for (size_t i = 0; i < shortOf.size(); ++i) {
        const MessageBoxText box = EndMessage(shortOf[i]);
        EXPECT_EQ(box.text.find(msg::kSucceeded), std::wstring::npos) << i;
        EXPECT_NE(Icon(box), static_cast<UINT>(MB_ICONINFORMATION)) << i;
        EXPECT_EQ(box.caption, msg::kImportCaption) << i;
    }
}

TEST(EndMessage, CountsWhatWasNotImported) {
    const MessageBoxText partly = EndMessage(Ended(Ending::PartlyFailed, 3));
    EXPECT_EQ(partly.text, L"导入完成，但有 3 项未能导入，详情请查看服务器日志。");
    EXPECT_EQ(partly.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));

    const MessageBoxText stopped = EndMessage(Ended(Ending::Stopped, 4));
    EXPECT_EQ(stopped.text,
              L"导入已停止，尚有文件未导入。\n\n有 4 项未导入，详情请查看服务器日志。");
    EXPECT_EQ(stopped.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));

    const MessageBoxText lost = EndMessage(Ended(Ending::DatabaseLost, 1234567));
    EXPECT_EQ(
        lost.text,
        L"与服务器数据库的连接已中断，导入已停止，有 1234567 项未能导入，详情请查看服务器日志。");
    EXPECT_EQ(lost.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));

    const MessageBoxText silent = EndMessage(Ended(Ending::DatabaseNotAnswering, 1234567));
    EXPECT_EQ(silent.text,
              std::wstring(msg::kNotAnsweringBefore) + L"1234567" + msg::kNotAnsweringAfter);
    EXPECT_NE(silent.text, lost.text);
}

TEST(EndMessage, AddsTheReportTheLogAndTheCountersAfterBlankLines) {
    RunOutcome outcome = Ended(Ending::PartlyFailed, 2);
    outcome.reportPath = L"C:\\reports\\20261208-143005.csv";
    outcome.logWritten = false;
    outcome.versionsBumped = false;
    EXPECT_EQ(EndMessage(outcome).text,
              std::wstring(msg::kPartlyFailedBefore) + L"2" + msg::kPartlyFailedAfter + L"\n\n" +
                  msg::kReasonsIn + L"C:\\reports\\20261208-143005.csv\n\n" + msg::kLogNotWritten +
                  L"\n\n" + msg::kVersionsNotBumped);

    // Every file went in, but the server was not told everything.
    RunOutcome unlogged = Ended(Ending::Succeeded);
    unlogged.logWritten = false;
    const MessageBoxText box = EndMessage(unlogged);
    EXPECT_EQ(box.text, std::wstring(L"文件已全部导入。\n\n") + msg::kLogNotWritten);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
    RunOutcome unannounced = Ended(Ending::Succeeded);
    unannounced.versionsBumped = false;
    EXPECT_EQ(EndMessage(unannounced).text,
              std::wstring(msg::kAllImported) + L"\n\n" + msg::kVersionsNotBumped);

    // A run that wrote no report gives no path.
    EXPECT_EQ(EndMessage(Ended(Ending::Stopped, 1)).text.find(msg::kReasonsIn), std::wstring::npos);
}

TEST(EndMessage, RefusalsComeUnderTheApplicationTitleWithoutAnIcon) {
    RunOutcome refused = Ended(Ending::Refused);
    refused.refusal = Refusal::NoFolderChosen;
    MessageBoxText box = EndMessage(refused);
    EXPECT_EQ(box.text, L"请选择公共文档或网络硬盘的路径");
    EXPECT_EQ(box.caption, L"Tavrin KSR 文件导入");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));

    refused.refusal = Refusal::NotOnServer;
    box = EndMessage(refused);
    EXPECT_EQ(box.text, L"请在TavrinKSR服务端所在服务器导入!");
    EXPECT_EQ(box.caption, kAppTitle);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));

    refused.refusal = Refusal::FolderOverlaps;
    refused.overlap = L"D:\\store";
    box = EndMessage(refused);
    EXPECT_EQ(box.text,
              L"所选文件夹与目录“D:\\store”重叠（服务器的文件存储目录或导入的暂存目录），"
              L"不能导入。请选择其他文件夹。");
    EXPECT_EQ(box.caption, kAppTitle);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));

    refused.refusal = Refusal::NoRoom;
    refused.roomNeeded = 13314398618;  // 12.4 GiB and a little
    refused.roomFree = 3328599655;     // 3.1 GiB and a little
    box = EndMessage(refused);
    EXPECT_EQ(box.text, L"存储目录所在磁盘空间不足：需要 12.4 GB，可用 3.1 GB，未导入任何文件。");
    EXPECT_EQ(box.caption, kAppTitle);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
}

TEST(EndMessage, RunsThatNeverStartedSayWhy) {
    RunOutcome unreachable = Ended(Ending::DatabaseUnreachable);
    unreachable.driverMessage = L"[MySQL] Access denied for user 'ksr'";
    MessageBoxText box = EndMessage(unreachable);
    EXPECT_EQ(box.text,
              L"无法连接服务器数据库，未导入任何文件。\n\n[MySQL] Access denied for user 'ksr'");
    EXPECT_EQ(box.caption, msg::kImportCaption);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));

    box = EndMessage(Ended(Ending::NoStoreRoot));
    EXPECT_EQ(box.text, L"未能读取服务器的文件存储目录，未导入任何文件。");
    EXPECT_EQ(box.caption, msg::kImportCaption);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONWARNING));
}

TEST(EndMessage, AnInternalFailureShowsTheErrorIcon) {
    MessageBoxText box = EndMessage(Ended(Ending::InternalFailure));
    EXPECT_EQ(box.text, L"导入因内部错误而中止，部分文件可能未导入，请查看服务器日志。");
    EXPECT_EQ(box.caption, msg::kImportCaption);
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONERROR));

    // The window ended a run that had counted what it left and written its report: the count
    // is said and the operator is sent to the report.
    RunOutcome ended = Ended(Ending::InternalFailure, 5);
    ended.reportPath = L"C:\\r.csv";
    box = EndMessage(ended);
    EXPECT_EQ(box.text, std::wstring(msg::kRunFailed) +
                            L"\n\n有 5 项未导入，详情请查看服务器日志。" + L"\n\n" +
                            msg::kReasonsIn + L"C:\\r.csv");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK | MB_ICONERROR));
}

TEST(EndMessage, EveryEndingIsAnOkOnlyBox) {
    for (int e = 0; e <= static_cast<int>(Ending::InternalFailure); ++e) {
        for (const bool logged : {true, false}) {
            RunOutcome outcome = Ended(static_cast<Ending>(e), 1);
            outcome.logWritten = logged;
            const MessageBoxText box = EndMessage(outcome);
            EXPECT_EQ(box.type & MB_TYPEMASK, static_cast<UINT>(MB_OK)) << e;
            EXPECT_FALSE(box.text.empty()) << e;
            EXPECT_FALSE(box.caption.empty()) << e;
        }
    }
}

}  // namespace
}  // namespace ksr
