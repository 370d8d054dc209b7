#include <gtest/gtest.h>

#include <windows.h>
#include <dbghelp.h>

#include <set>

#include "app/message_texts.h"
#include "console/console_texts.h"
#include "engine/run_report.h"
#include "support/digest.h"
#include "support/server_install.h"
#include "tests/e2e/planted_dlls.h"

namespace ksr {
namespace {

struct ProgramRun {
    DWORD exitCode = 0xFFFFFFFF;
    std::string output;  // standard output, as written
};

// A started program whose standard output goes to a file.
struct StartedProgram {
    PROCESS_INFORMATION process{};
    std::wstring outputFile;

    // Waits for it to end: a console program keeps its caller waiting until the run ends.
    ProgramRun Finish() {
        ProgramRun run;
        if (process.hProcess == nullptr) return run;
        WaitForSingleObject(process.hProcess, 10 * 60 * 1000);
        GetExitCodeProcess(process.hProcess, &run.exitCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        process = {};
        run.output = test::ReadBytes(outputFile);
        return run;
    }
};

StartedProgram StartProgram(const std::wstring& program, const std::wstring& arguments,
                            const std::wstring& outputFile, DWORD flags = 0) {
    StartedProgram started{{}, outputFile};
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return started;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = out;
    startup.hStdError = out;
    std::wstring command = L"\"" + program + L"\" " + arguments;
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, TRUE, flags, nullptr,
                        nullptr, &startup, &started.process)) {
        started.process = {};
    }
    CloseHandle(out);
    return started;
}

ProgramRun RunProgram(const std::wstring& program, const std::wstring& arguments,
                      const std::wstring& outputFile) {
    return StartProgram(program, arguments, outputFile).Finish();
}

// The command-line program, started from a download folder as a script or the Task Scheduler
// starts it (with DLLs planted beside it that it must not load), against a
// server installation registered where the tool looks for it.
TEST(CommandLineProgram, WaitsForTheRunPrintsUtf8AndExitsWithItsCode) {
    test::ServerInstall server(true);
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    const std::wstring root = server.sources + L"\\待导入 文件";
    test::WriteBytes(root + L"\\扫描\\001.pdf", "scan");
    const std::wstring downloads = server.dir / L"Downloads";
    const std::wstring program = e2e::CopyWithPlantedDlls(L"ksrimport.com", downloads);
    const std::wstring output = server.dir / L"output.txt";

    const ProgramRun help = RunProgram(program, L"-?", output);
    EXPECT_EQ(help.exitCode, 0u);
    EXPECT_NE(help.output.find("ksrimport <文件夹> [/root] [/delete] [/check] [/?]"),
              std::string::npos);

    const ProgramRun usage = RunProgram(program, L"/root", output);
    EXPECT_EQ(usage.exitCode, 2u);
    EXPECT_EQ(server.db.Query(L"select count(*) from PtpFolder")[0][0], L"0");

    const ProgramRun run = RunProgram(program, L"\"" + root + L"\" /ROOT -delete", output);
    EXPECT_EQ(run.exitCode, 0u) << run.output;
    // The end message, then the run report's path.
    EXPECT_NE(run.output.find("\r\n" + test::Utf8(msg::kSucceeded) + "\r\n"), std::string::npos)
        << run.output;
    EXPECT_TRUE(run.output.ends_with(".csv\r\n")) << run.output;
    EXPECT_EQ(test::ReadBytes(server.store + L"\\DownLoad\\Public\\待导入 文件\\扫描\\001.pdf"),
              "scan");
    EXPECT_FALSE(test::Exists(root + L"\\扫描\\001.pdf"));
    e2e::ExpectNoPlantedDllLoaded(downloads);
}

// Ctrl+C in the program's console mid-run stops the run the way closing the window does: the
// file in hand finishes, the log is written, and every file is either imported (store copy and
// rows) or still at its source.
TEST(CommandLineProgram, CtrlCStopsTheRunAndLosesNothing) {
    test::ServerInstall server(true);
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    const std::wstring folder = server.sources + L"\\many";
    constexpr int kFiles = 2000;
    const auto relative = [](int i) {
        return std::to_wstring(i / 100) + L"\\" + std::to_wstring(i) + L".txt";
    };
    for (int i = 0; i < kFiles; ++i)
        test::WriteBytes(folder + L"\\" + relative(i), std::to_string(i));

    StartedProgram started =
        StartProgram(test::BuildOutput(L"app\\ksrimport.com"), L"\"" + folder + L"\" /delete",
                     server.dir / L"output.txt", CREATE_NEW_CONSOLE);
    ASSERT_NE(started.process.hProcess, nullptr);
    for (int i = 0; i < 6000; ++i) {
        if (server.db.Query(L"select count(*) from PtpFile")[0][0] != L"0") break;
        Sleep(5);
    }
    // Into the program's console, as a key press there would: the test ignores it itself.
    FreeConsole();
    const bool attached = AttachConsole(started.process.dwProcessId);
    SetConsoleCtrlHandler(nullptr, TRUE);
    const bool signalled = attached && GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0);
    const DWORD error = GetLastError();
    FreeConsole();
    const ProgramRun run = started.Finish();
    SetConsoleCtrlHandler(nullptr, FALSE);
    ASSERT_TRUE(signalled) << "attached " << attached << ", error " << error;

    EXPECT_EQ(run.exitCode, 4u) << run.output;
    EXPECT_NE(run.output.find(test::Utf8(cli::kStopping)), std::string::npos) << run.output;
    const int imported =
        std::stoi(server.db.Query(L"select count(*) from PtpFile")[0][0].value_or(L"0"));
    EXPECT_GT(imported, 0);
    EXPECT_LT(imported, kFiles) << "the run ended before the signal came";
    for (int i = 0; i < kFiles; ++i) {
        const bool atSource = test::Exists(folder + L"\\" + relative(i));
        const bool inStore = test::ReadBytes(server.store + L"\\DownLoad\\Public\\" +
                                             relative(i)) == std::to_string(i);
        EXPECT_TRUE(atSource || inStore) << i;
    }
}

std::set<std::wstring> DumpsIn(const std::wstring& folder) {
    std::set<std::wstring> dumps;
    WIN32_FIND_DATAW entry;
    const HANDLE find = FindFirstFileW((folder + L"\\*.dmp").c_str(), &entry);
    if (find == INVALID_HANDLE_VALUE) return dumps;
    do dumps.insert(folder + L"\\" + entry.cFileName);
    while (FindNextFileW(find, &entry));
    FindClose(find);
    return dumps;
}

// The code of the exception a minidump records, or 0.
DWORD DumpedExceptionCode(const std::wstring& dump) {
    const std::string bytes = test::ReadBytes(dump);
    void* stream = nullptr;
    ULONG size = 0;
    if (!MiniDumpReadDumpStream(const_cast<char*>(bytes.data()), ExceptionStream, nullptr, &stream,
                                &size) ||
        size < sizeof(MINIDUMP_EXCEPTION_STREAM)) {
        return 0;
    }
    return static_cast<MINIDUMP_EXCEPTION_STREAM*>(stream)->ExceptionRecord.ExceptionCode;
}

// A test-only build whose copy workers die of an access violation leaves a minidump of it
// beside the run reports and deletes no source. The next start names the dump once, with its
// folder, and imports every file once.
TEST(CommandLineProgram, ACrashLeavesADumpTheNextStartNamesOnce) {
    test::ServerInstall server(true);
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    const std::wstring folder = server.sources + L"\\崩溃";
    constexpr int kFiles = 12;
    const auto relative = [](int i) {
        return std::to_wstring(i % 3) + L"\\" + std::to_wstring(i) + L".txt";
    };
    for (int i = 0; i < kFiles; ++i)
        test::WriteBytes(folder + L"\\" + relative(i), std::to_string(i));
    const Result<std::wstring> reports = DefaultReportDirectory();
    ASSERT_TRUE(reports);
    const std::set<std::wstring> before = DumpsIn(*reports);
    const std::wstring output = server.dir / L"output.txt";
    const std::wstring quoted = L"\"" + folder + L"\"";

    const ProgramRun crash = RunProgram(test::BuildOutput(L"tests\\e2e\\ksrimport_crash.exe"),
                                        quoted + L" /delete", output);
    EXPECT_EQ(crash.exitCode, static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION)) << crash.output;
    std::set<std::wstring> dumps = DumpsIn(*reports);
    for (const std::wstring& dump : before) dumps.erase(dump);
    ASSERT_EQ(dumps.size(), 1u);
    const std::wstring dump = *dumps.begin();
    EXPECT_EQ(DumpedExceptionCode(dump), static_cast<DWORD>(EXCEPTION_ACCESS_VIOLATION));
    // No source went: none had its rows committed and its copy on disk.
    for (int i = 0; i < kFiles; ++i) EXPECT_TRUE(test::Exists(folder + L"\\" + relative(i))) << i;

    const ProgramRun next = RunProgram(test::BuildOutput(L"app\\ksrimport.com"), quoted, output);
    EXPECT_EQ(next.exitCode, 0u) << next.output;
    EXPECT_NE(next.output.find(test::Utf8(cli::kCrashDump + dump) + "\r\n" +
                               test::Utf8(cli::kCrashDumpSend + *reports) + "\r\n"),
              std::string::npos)
        << next.output;
    EXPECT_EQ(server.db.Query(L"select count(*) from PtpFile")[0][0], std::to_wstring(kFiles));
    for (int i = 0; i < kFiles; ++i) {
        EXPECT_EQ(test::ReadBytes(server.store + L"\\DownLoad\\Public\\" + relative(i)),
                  std::to_string(i));
    }

    const ProgramRun again =
        RunProgram(test::BuildOutput(L"app\\ksrimport.com"), quoted + L" /check", output);
    EXPECT_EQ(again.output.find(test::Utf8(dump)), std::string::npos) << again.output;
    DeleteFileW(dump.c_str());
}

// Ended on the spot mid-copy (Task Manager, the Task Scheduler's "End"), the program leaves
// nothing that blocks the next run: that one imports every file and removes the temporary file.
TEST(CommandLineProgram, ARunEndedMidCopyIsFinishedByTheNextOne) {
    test::ServerInstall server(true);
    ASSERT_TRUE(server.ok()) << test::Utf8(server.db.error());
    const std::wstring root = server.sources + L"\\ended";
    const std::wstring partial = server.store + L"\\.ksrimport-partial";
    ASSERT_TRUE(test::WriteSparse(root + L"\\large.bin", int64_t{384} << 20));
    test::WriteBytes(root + L"\\sub\\a.txt", "a");
    const std::wstring program = test::BuildOutput(L"app\\ksrimport.com");
    const std::wstring output = server.dir / L"output.txt";
    StartedProgram started = StartProgram(program, L"\"" + root + L"\"", output);
    ASSERT_NE(started.process.hProcess, nullptr);
    bool midCopy = false;
    for (int i = 0; i < 60000 && !midCopy; ++i) {
        midCopy = !test::FilesOneLevelDown(partial).empty();
        if (!midCopy && WaitForSingleObject(started.process.hProcess, 1) == WAIT_OBJECT_0) break;
    }
    TerminateProcess(started.process.hProcess, 9);
    (void)started.Finish();
    ASSERT_TRUE(midCopy) << "no temporary file was seen";
    EXPECT_FALSE(test::Exists(server.store + L"\\DownLoad\\Public\\large.bin"))
        << "a half-written file under the document's name";

    const ProgramRun again = RunProgram(program, L"\"" + root + L"\"", output);
    EXPECT_EQ(again.exitCode, 0u) << again.output;
    for (const wchar_t* name : {L"large.bin", L"sub/a.txt"}) {
        const auto digest =
            server.db.Query(L"select MD5Hash from MD5File where FilPath='DownLoad/Public/" +
                            std::wstring(name) + L"'");
        ASSERT_EQ(digest.size(), 1u) << test::Utf8(name);
        const std::wstring relative = ReplaceAll(name, L'/', L'\\');
        EXPECT_EQ(digest[0][0].value_or(L""),
                  test::FileMd5Hex(root + L"\\" + relative).value_or(L"?"));
        EXPECT_EQ(
            digest[0][0].value_or(L""),
            test::FileMd5Hex(server.store + L"\\DownLoad\\Public\\" + relative).value_or(L"-"));
    }
    EXPECT_EQ(test::FilesOneLevelDown(partial), std::vector<std::wstring>{});
}

}  // namespace
}  // namespace ksr
