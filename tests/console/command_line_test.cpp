#include <gtest/gtest.h>

#include "console/command_line.h"
#include "console/console_output.h"
#include "console/exit_code.h"
#include "support/temp_dir.h"

namespace ksr {
namespace {

TEST(CommandLine, ReadsOptionsInAnyFormAndRefusesWhatMakesNoCommand) {
    struct Case {
        std::vector<std::wstring> args;
        bool ok;
        std::wstring folder;
        bool root, del, help;
    };
    const Case cases[] = {
        {{L"D:\\待导入"}, true, L"D:\\待导入", false, false, false},
        {{L"/root", L"D:\\a", L"/delete"}, true, L"D:\\a", true, true, false},
        {{L"-ROOT", L"-Delete", L"D:\\a"}, true, L"D:\\a", true, true, false},
        {{L"/?"}, true, L"", false, false, true},
        {{L"-?", L"D:\\a"}, false, L"", false, false, false},  // a script would read 0 as imported
        {{L"/delete", L"/?"}, false, L"", false, false, false},
        {{}, false, L"", false, false, false},
        {{L"/delete"}, false, L"", false, false, false},
        {{L"D:\\a", L"D:\\b"}, false, L"", false, false, false},
        {{L"D:\\a", L"/recurse"}, false, L"", false, false, false},
        {{L"D:\\a", L"/"}, false, L"", false, false, false},  // a lone "/" is a folder argument,
                                                              // the second one
        {{L""}, false, L"", false, false, false},
    };
    for (const Case& c : cases) {
        std::wstring joined;
        for (const std::wstring& arg : c.args) joined += L"[" + arg + L"]";
        SCOPED_TRACE(test::Utf8(joined));
        const CommandLine line = ParseCommandLine(c.args);
        EXPECT_EQ(line.problem.empty(), c.ok) << test::Utf8(line.problem);
        if (!c.ok) continue;
        EXPECT_EQ(line.folder, c.folder);
        EXPECT_EQ(line.rootMode, c.root);
        EXPECT_EQ(line.deleteSources, c.del);
        EXPECT_EQ(line.help, c.help);
    }
}

TEST(CommandLine, OnlyAFullSuccessExitsWithZero) {
    using Ending = RunOutcome::Ending;
    for (const Ending ending :
         {Ending::Succeeded, Ending::PartlyFailed, Ending::Stopped, Ending::DatabaseLost,
          Ending::DatabaseNotAnswering, Ending::Refused, Ending::DatabaseUnreachable,
          Ending::NoStoreRoot, Ending::InternalFailure}) {
        for (const bool logWritten : {true, false}) {
            RunOutcome outcome;
            outcome.ending = ending;
            outcome.logWritten = logWritten;
            const bool success = ending == Ending::Succeeded && logWritten;
            EXPECT_EQ(ExitCodeOf(outcome) == kExitImported, success)
                << static_cast<int>(ending) << " log " << logWritten;
            EXPECT_LE(ExitCodeOf(outcome), kExitInternal);
        }
    }
}

// Redirected, the output is UTF-8 lines; a progress line is just another line.
TEST(ConsoleOutput, RedirectedOutputIsUtf8LinesInOrder) {
    test::TempDir dir;
    const std::wstring path = dir / L"out.txt";
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ConsoleOutput out(file);
        EXPECT_FALSE(out.IsConsole());
        out.Line(L"文件未导入：D:\\甲.txt");
        out.Progress(L" 50%  1 个文件");
        out.Line(L"导入成功。");
        CloseHandle(file);
    }
    EXPECT_EQ(test::ReadBytes(path), "文件未导入：D:\\甲.txt\r\n 50%  1 个文件\r\n导入成功。\r\n");
    EXPECT_EQ(ConsoleColumns(L"50% 个文件"), 4u + 6u);
}

}  // namespace
}  // namespace ksr
