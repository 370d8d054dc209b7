#include <gtest/gtest.h>

#include <windows.h>

#include <cwchar>

#include "engine/activity_log.h"
#include "support/temp_dir.h"
#include "util/handles.h"

namespace ksr {
namespace {

std::wstring Today(const wchar_t* format) {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[16];
    swprintf(text, 16, format, now.wYear, now.wMonth, now.wDay);
    return text;
}

std::wstring LogFile(const std::wstring& root) {
    return root + L"\\log\\" + Today(L"%04u%02u") + L"\\" + Today(L"%04u%02u%02u") + L".log";
}

TEST(ActivityLine, HasTheServerLogFormat) {
    SYSTEMTIME t{};
    t.wYear = 2026;
    t.wMonth = 3;
    t.wDay = 5;
    t.wHour = 14;
    t.wMinute = 7;
    t.wSecond = 9;
    EXPECT_EQ(FormatActivityLine(ActivityType::FolderFailed, L"D:\\a\\", L"msg", t),
              L"[127.0.0.1] [2026-03-05 14:07:09] [UserID:1] [type:18]: D:\\a\\ msg");
    EXPECT_EQ(FormatActivityLine(ActivityType::NameCleaned, L"x", L"y", t),
              L"[127.0.0.1] [2026-03-05 14:07:09] [UserID:1] [type:19]: x y");
    const std::wstring now = ActivityLine(ActivityType::FolderFailed, L"s", L"m");
    EXPECT_EQ(now.substr(0, 24), L"[127.0.0.1] [" + Today(L"%04u-%02u-%02u") + L" ");
}

TEST(ServerLog, NamesMonthAndDayFromOneMoment) {
    struct Case {
        WORD year, month, day, hour, minute, second;
        const wchar_t* file;
    };
    const Case cases[] = {
        {2026, 12, 31, 23, 59, 59, L"D:\\s\\log\\202612\\20261231.log"},
        {2027, 1, 1, 0, 0, 0, L"D:\\s\\log\\202701\\20270101.log"},
        {2026, 2, 28, 23, 59, 59, L"D:\\s\\log\\202602\\20260228.log"},
        {2026, 3, 1, 0, 0, 0, L"D:\\s\\log\\202603\\20260301.log"},
    };
    for (const Case& c : cases) {
        SYSTEMTIME t{};
        t.wYear = c.year;
        t.wMonth = c.month;
        t.wDay = c.day;
        t.wHour = c.hour;
        t.wMinute = c.minute;
        t.wSecond = c.second;
        EXPECT_EQ(ServerLogFile(L"D:\\s", t), c.file);
    }
}

TEST(ServerLog, CreatesTheMonthDirectoryAndAppendsCrLfLines) {
    ASSERT_EQ(GetACP(), 936u) << "the harness runs Wine with code page 936";
    test::TempDir store;
    ASSERT_TRUE(serverlog({L"first 中", L"second"}, store.path()));
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), "first \xD6\xD0\r\nsecond\r\n");
    ASSERT_TRUE(serverlog({L"third"}, store.path()));
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), "first \xD6\xD0\r\nsecond\r\nthird\r\n");
}

TEST(ServerLog, LeavesExistingBytesAlone) {
    test::TempDir store;
    const std::string existing = "\xEF\xBB\xBFserver's own line without newline";
    test::WriteBytes(LogFile(store.path()), existing);
    ASSERT_TRUE(serverlog({L"ours"}, store.path()));
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), existing + "ours\r\n");
    ASSERT_TRUE(serverlog({}, store.path()));
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), existing + "ours\r\n");
}

TEST(ServerLog, EmptyListCreatesAnEmptyFile) {
    test::TempDir store;
    ASSERT_TRUE(serverlog({}, store.path()));
    EXPECT_TRUE(test::Exists(LogFile(store.path())));
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), "");
}

TEST(ServerLog, StoreRootWithTrailingSeparatorAndForeignCharacters) {
    test::TempDir store;
    ASSERT_TRUE(serverlog({L"Thai \u0E01 here"}, store.path() + L"\\"));
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), "Thai ? here\r\n");
}

TEST(ServerLog, AppendsWhileTheServerHoldsTheFileOpen) {
    test::TempDir store;
    test::WriteBytes(LogFile(store.path()), "a\r\n");
    unique_hfile server(CreateFileW(LogFile(store.path()).c_str(), GENERIC_READ | GENERIC_WRITE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                    nullptr));
    ASSERT_TRUE(server);
    EXPECT_TRUE(serverlog({L"b"}, store.path()));
    server.reset();
    EXPECT_EQ(test::ReadBytes(LogFile(store.path())), "a\r\nb\r\n");
}

TEST(ServerLog, UnwritablePlaceReportsFailure) {
    test::TempDir store;
    test::WriteBytes(store / L"file", "x");
    const Status written = serverlog({L"lost"}, store / L"file");
    ASSERT_FALSE(written.ok());
    EXPECT_NE(written.error().win32, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_TRUE(written.error().path.ends_with(L".log")) << "the log file it could not open";
}

}  // namespace
}  // namespace ksr
