#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <functional>
#include <thread>

#include "app/message_texts.h"
#include "console/console_run.h"
#include "console/console_signals.h"
#include "console/console_texts.h"
#include "console/exit_code.h"
#include "support/server_install.h"
#include "support/temp_dir.h"
#include "support/unix_link.h"

namespace ksr {
namespace {

std::vector<std::wstring> SplitLines(const std::wstring& text) {
    std::vector<std::wstring> lines;
    size_t from = 0;
    for (size_t end = text.find(L"\r\n"); end != std::wstring::npos;
         end = text.find(L"\r\n", from)) {
        lines.push_back(text.substr(from, end - from));
        from = end + 2;
    }
    return lines;
}

struct CommandRun {
    int code = -1;
    std::vector<std::wstring> lines;
};

// The command line run in this process against the test's own server, its output redirected
// to a file.
CommandRun RunCommand(const test::ServerInstall& server, const std::vector<std::wstring>& args,
                      bool elevated = true) {
    const std::wstring path = server.dir / L"output.txt";
    CommandRun run;
    {
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) return run;
        ConsoleOutput out(file);
        run.code = RunCommandLine(
            args, out,
            {server.Registration(), server.dir / L"reports", [elevated] { return elevated; }});
        CloseHandle(file);
    }
    run.lines = SplitLines(test::FromUtf8(test::ReadBytes(path)));
    return run;
}

std::wstring Count(test::ServerInstall& server, const std::wstring& table) {
    return server.db.Query(L"select count(*) from " + table)[0][0].value_or(L"");
}

// Each case: the tree, the arguments, and what the exit code, the last line and the server
// must then show. Nothing is written by a run that was refused or found no database.
TEST(CommandLineRun, ExitCodeAndLastLineSayHowTheRunEnded) {
    struct Case {
        const char* name;
        std::function<std::vector<std::wstring>(test::ServerInstall&)> prepare;
        int code;
        std::wstring lastLineStarts;
        bool written;
        bool elevated = true;
    };
    const auto docs = [](test::ServerInstall& s) {
        test::WriteBytes(s.sources + L"\\文档\\甲.txt", "a");
        test::WriteBytes(s.sources + L"\\文档\\子\\乙.txt", "b");
        return s.sources + L"\\文档";
    };
    const Case cases[] = {
        {"plain import", [&](auto& s) { return std::vector{docs(s)}; }, kExitImported,
         msg::kSucceeded, true},
        {"a link to outside is not imported",
         [&](auto& s) {
             const std::wstring folder = docs(s);
             test::WriteBytes(s.dir / L"outside.txt", "secret");
             EXPECT_TRUE(test::MakeUnixLink(s.dir / L"outside.txt", folder + L"\\link.txt"));
             return std::vector{folder};
         },
         kExitPartly, msg::kPartlyFailedBefore, true},
        {"check of a clean tree",
         [&](auto& s) {
             return std::vector<std::wstring>{docs(s), L"/check"};
         },
         kExitImported, cli::kSummaryFiles, false},
        {"check finding a link",
         [&](auto& s) {
             const std::wstring folder = docs(s);
             test::WriteBytes(s.dir / L"outside.txt", "secret");
             EXPECT_TRUE(test::MakeUnixLink(s.dir / L"outside.txt", folder + L"\\link.txt"));
             return std::vector<std::wstring>{L"-CHECK", folder, L"/delete"};
         },
         kExitPartly, cli::kSummaryFiles, false},
        {"unknown option",
         [&](auto& s) {
             return std::vector<std::wstring>{docs(s), L"/x"};
         },
         kExitRefused, L"  5", false},
        {"usage asked for beside a run",
         [&](auto& s) {
             return std::vector<std::wstring>{docs(s), L"/?"};
         },
         kExitRefused, L"  5", false},
        {"relative folder", [](auto&) { return std::vector<std::wstring>{L"文档"}; }, kExitRefused,
         L"  5", false},
        {"missing folder", [](auto& s) { return std::vector{s.sources + L"\\未建"}; }, kExitRefused,
         L"  5", false},
        {"no database",
         [&](auto& s) {
             ServerSettings settings = s.db.Settings();
             settings.port = L"1";
             s.WriteIni(settings);
             return std::vector{docs(s)};
         },
         kExitNoDatabase, L"", false},
        {"not elevated",
         [&](auto& s) {
             return std::vector{docs(s), std::wstring(L"/delete")};
         },
         kExitRefused, cli::kNotElevated, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::ServerInstall server;
        ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
        const CommandRun run = RunCommand(server, c.prepare(server), c.elevated);
        EXPECT_EQ(run.code, c.code);
        ASSERT_FALSE(run.lines.empty());
        if (c.code == kExitRefused) {
            EXPECT_FALSE(test::Exists(server.dir / L"reports"));
        }
        // The end message's lines, then the run report's path, come last.
        const size_t from = run.lines.size() > 4 ? run.lines.size() - 4 : 0;
        EXPECT_TRUE(std::any_of(
            run.lines.begin() + static_cast<ptrdiff_t>(from), run.lines.end(),
            [&](const std::wstring& line) { return line.starts_with(c.lastLineStarts); }))
            << test::Utf8(run.lines.back());
        EXPECT_EQ(Count(server, L"PtpFile") != L"0", c.written);
        EXPECT_EQ(server.db.Query(L"select PtpFile_Vesr from UpDateForm")[0][0] != L"0", c.written);
    }
}

// Closing the console, logging off or shutting down mid-copy: the run stops at once and has its
// log written before the handler returns, within the seconds Windows allows before it ends the
// process.
TEST(CommandLineRun, AClosedConsoleEndsTheRunInTimeWithTheLogWritten) {
    for (const DWORD signal : {CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
        SCOPED_TRACE(signal);
        test::ServerInstall server;
        ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
        const std::wstring folder = server.sources + L"\\large";
        ASSERT_TRUE(test::WriteSparse(folder + L"\\large.bin", int64_t{4} << 30));
        CommandRun run;
        std::thread command([&] { run = RunCommand(server, {folder}); });
        const std::wstring partial = server.store + L"\\.ksrimport-partial";
        for (int i = 0; i < 3000 && test::FilesOneLevelDown(partial).empty(); ++i) Sleep(10);
        const bool copying = !test::FilesOneLevelDown(partial).empty();
        const ULONGLONG closed = GetTickCount64();
        const BOOL handled = HandleConsoleSignal(signal);
        const ULONGLONG took = GetTickCount64() - closed;
        const bool logged = !test::FilesOneLevelDown(server.store + L"\\log").empty();
        command.join();
        EXPECT_TRUE(copying && handled);
        EXPECT_LT(took, 5000u);
        EXPECT_TRUE(logged) << "the log was not written before the handler returned";
        EXPECT_NE(run.code, kExitImported);
        EXPECT_EQ(Count(server, L"PtpFile"), L"0");
    }
}

}  // namespace
}  // namespace ksr
