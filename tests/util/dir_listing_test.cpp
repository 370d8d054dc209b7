#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "util/dir_listing.h"
#include "util/handles.h"
#include "util/paths.h"

namespace ksr {
namespace {

// Writes and reads through the "\\?\" form, so names keep what ordinary paths would trim.
void WriteRaw(const std::wstring& extended, const std::string& bytes) {
    unique_hfile file(CreateFileW(extended.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file) << test::Utf8(extended) << " error " << GetLastError();
    DWORD written = 0;
    ASSERT_TRUE(
        WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
}

std::string ReadRaw(const std::wstring& extended) {
    unique_hfile file(CreateFileW(extended.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    std::string bytes;
    char chunk[256];
    DWORD got = 0;
    while (file && ReadFile(file.get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
        bytes.append(chunk, got);
    }
    return bytes;
}

struct Listed {
    ListingResult result;
    std::vector<std::wstring> names;  // sorted; folders end in "\"
};

Listed List(const std::wstring& directory) {
    Listed listed;
    listed.result = ListDirectory(directory, [&](const WIN32_FIND_DATAW& entry) {
        const bool folder = (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        listed.names.push_back(std::wstring(entry.cFileName) + (folder ? L"\\" : L""));
        return true;
    });
    std::sort(listed.names.begin(), listed.names.end());
    return listed;
}

// Clears the process-wide fault at the end of a test, passed or failed.
struct FaultGuard {
    ~FaultGuard() { SetListingFaultForTest(nullptr); }
};

class ListDirectoryTest : public ::testing::Test {
  protected:
    std::wstring Raw(const std::wstring& relative) const { return base_ + L"\\" + relative; }

    test::TempDir dir_;
    const std::wstring base_ = ExtendedFromAbsolute(dir_.path());
};

TEST_F(ListDirectoryTest, KeepsNamesThatPathParsingWouldAlter) {
    WriteRaw(Raw(L"a.txt"), "plain");
    WriteRaw(Raw(L"a.txt."), "dot");
    WriteRaw(Raw(L"b "), "blank");
    WriteRaw(Raw(L"con"), "device name");
    WriteRaw(Raw(L"NUL.txt"), "device name with extension");
    ASSERT_TRUE(CreateDirectoryLevels(Raw(L"v1")).ok());
    ASSERT_TRUE(CreateDirectoryLevels(Raw(L"v1.")).ok());
    WriteRaw(Raw(L"v1\\in"), "in v1");
    WriteRaw(Raw(L"v1.\\in"), "in v1.");
    WriteRaw(Raw(L"v1.\\more"), "");

    for (const std::wstring& directory : {base_, base_ + L"\\"}) {
        const Listed top = List(directory);
        EXPECT_TRUE(top.result.complete());
        EXPECT_TRUE(top.result.started);
        EXPECT_EQ(top.names, (std::vector<std::wstring>{L"NUL.txt", L"a.txt", L"a.txt.", L"b ",
                                                        L"con", L"v1.\\", L"v1\\"}));
    }
    EXPECT_EQ(ReadRaw(Raw(L"a.txt")), "plain");
    EXPECT_EQ(ReadRaw(Raw(L"a.txt.")), "dot");
    EXPECT_EQ(ReadRaw(Raw(L"b ")), "blank");
    EXPECT_EQ(ReadRaw(Raw(L"NUL.txt")), "device name with extension");
    EXPECT_EQ(List(Raw(L"v1")).names, (std::vector<std::wstring>{L"in"}));
    EXPECT_EQ(List(Raw(L"v1.")).names, (std::vector<std::wstring>{L"in", L"more"}));
    EXPECT_EQ(ReadRaw(Raw(L"v1.\\in")), "in v1.");
}

TEST_F(ListDirectoryTest, EmptyFolderAndEmptyDriveRootAreComplete) {
    const Listed empty = List(base_);
    EXPECT_TRUE(empty.result.complete());
    EXPECT_TRUE(empty.result.started);
    EXPECT_TRUE(empty.names.empty());

    // dev/test maps drive E: to an empty folder. A drive root lists no "." or "..", so an
    // empty one yields no entry at all.
    ASSERT_EQ(GetFileAttributesW(L"\\\\?\\E:\\"), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY))
        << "run through dev/test";
    const Listed root = List(L"\\\\?\\E:\\");
    EXPECT_TRUE(root.result.complete());
    EXPECT_TRUE(root.result.started);
    EXPECT_TRUE(root.names.empty());
}

TEST_F(ListDirectoryTest, FolderThatCannotBeOpenedIsNotStarted) {
    const Listed missing = List(Raw(L"missing"));
    EXPECT_FALSE(missing.result.started);
    EXPECT_EQ(missing.result.error(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(missing.result.complete());
    ASSERT_FALSE(missing.result.status.ok());
    EXPECT_EQ(missing.result.status.error().path, Raw(L"missing")) << "the folder it concerns";

    WriteRaw(Raw(L"file"), "x");
    const Listed file = List(Raw(L"file"));
    EXPECT_FALSE(file.result.started);
    EXPECT_FALSE(file.result.complete());
    EXPECT_TRUE(file.names.empty());
}

TEST_F(ListDirectoryTest, VisitorStopsEarlyAndTheListingCountsAsComplete) {
    for (const wchar_t* name : {L"1", L"2", L"3"}) WriteRaw(Raw(name), "");
    int visits = 0;
    const ListingResult result = ListDirectory(base_, [&](const WIN32_FIND_DATAW&) {
        ++visits;
        return false;
    });
    EXPECT_EQ(visits, 1);
    EXPECT_TRUE(result.complete());
    EXPECT_TRUE(result.started);
}

TEST_F(ListDirectoryTest, InjectedFailureEndsTheListingPartWay) {
    for (const wchar_t* name : {L"1", L"2", L"3", L"4"}) WriteRaw(Raw(name), "");
    FaultGuard guard;
    std::vector<size_t> asked;
    size_t failAt = 2;
    SetListingFaultForTest([&](const std::wstring& directory, size_t delivered) -> DWORD {
        if (directory != base_) return ERROR_SUCCESS;
        asked.push_back(delivered);
        return delivered == failAt ? ERROR_DEV_NOT_EXIST : ERROR_SUCCESS;
    });

    Listed partial = List(base_);
    EXPECT_EQ(partial.result.error(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_TRUE(partial.result.started);
    EXPECT_EQ(partial.result.status.error().path, base_);
    EXPECT_FALSE(partial.result.complete());
    EXPECT_EQ(partial.names.size(), 2u);
    EXPECT_EQ(asked, (std::vector<size_t>{0, 1, 2}));

    failAt = 4;  // after the last entry, where FindNextFileW would have ended the folder
    EXPECT_EQ(List(base_).result.error(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_EQ(List(base_).names.size(), 4u);

    failAt = 0;
    const Listed unopened = List(base_);
    EXPECT_EQ(unopened.result.error(), static_cast<DWORD>(ERROR_DEV_NOT_EXIST));
    EXPECT_FALSE(unopened.result.started);
    EXPECT_TRUE(unopened.names.empty());

    test::TempDir other;  // the fault above leaves other folders alone
    EXPECT_TRUE(List(ExtendedFromAbsolute(other.path())).result.complete());

    SetListingFaultForTest(nullptr);
    EXPECT_TRUE(List(base_).result.complete());
}

}  // namespace
}  // namespace ksr
