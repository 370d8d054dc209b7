#include <gtest/gtest.h>

#include <windows.h>

#include "support/temp_dir.h"
#include "util/paths.h"

namespace ksr {
namespace {

TEST(DirectoryPart, KeepsEverythingUpToTheLastBackslash) {
    EXPECT_EQ(DirectoryPart(L"C:\\a\\b.exe"), L"C:\\a\\");
    EXPECT_EQ(DirectoryPart(L"C:\\a\\"), L"C:\\a\\");
    EXPECT_EQ(DirectoryPart(L"b.exe"), L"");
    EXPECT_EQ(DirectoryPart(L""), L"");
    EXPECT_EQ(DirectoryPart(L"\\\\server\\share\\x"), L"\\\\server\\share\\");
    EXPECT_EQ(DirectoryPart(L"C:/a/b"), L"") << "a slash is no separator here";
}

TEST(LastPathSegment, TakesTheTrimmedLastElement) {
    EXPECT_EQ(LastPathSegment(L"C:\\a\\b"), L"b");
    EXPECT_EQ(LastPathSegment(L"C:\\a\\  b c  "), L"b c");
    EXPECT_EQ(LastPathSegment(L"C:\\a\\\tb\t"), L"\tb\t") << "only U+0020 is trimmed";
    EXPECT_EQ(LastPathSegment(L"C:\\a\\"), L"");
    EXPECT_EQ(LastPathSegment(L"abc"), L"abc");
    EXPECT_EQ(LastPathSegment(L"D:"), L"D:");
    EXPECT_FALSE(LastPathSegment(L"").has_value());
}

TEST(EnsureDirectoryPath, CreatesEveryMissingLevel) {
    test::TempDir dir;
    EnsureDirectoryPath(dir / L"a\\b\\c");
    EXPECT_TRUE(test::Exists(dir / L"a\\b\\c"));
    EnsureDirectoryPath(dir / L"x\\y\\");
    EXPECT_TRUE(test::Exists(dir / L"x\\y"));
    EnsureDirectoryPath(dir / L"a\\b\\c");  // all there: nothing changes, nothing fails
    EXPECT_TRUE(test::Exists(dir / L"a\\b\\c"));
    EnsureDirectoryPath(L"");  // the root of the current drive: fails quietly
}

TEST(EnsureDirectoryPath, SlashTailIsOneLevelAndNeedsItsParents) {
    test::TempDir dir;
    EnsureDirectoryPath(dir / L"store\\DownLoad/Public/A");
    EXPECT_FALSE(test::Exists(dir / L"store\\DownLoad\\Public\\A"));
    EXPECT_TRUE(test::Exists(dir / L"store"));
    test::MakeDirs(dir / L"store\\DownLoad\\Public");
    EnsureDirectoryPath(dir / L"store\\DownLoad/Public/A");
    EXPECT_TRUE(test::Exists(dir / L"store\\DownLoad\\Public\\A"));
}

TEST(EnsureDirectoryPath, WorksBeyondMaxPath) {
    test::TempDir dir;
    std::wstring deep = dir.path();
    for (int i = 0; i < 30; ++i) deep += L"\\level-" + std::to_wstring(i) + L"-文件夹";
    ASSERT_GT(deep.size(), 300u);
    EnsureDirectoryPath(deep);
    const DWORD attributes = GetFileAttributesW(ToExtendedPath(deep).c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(EnsureDirectoryPath, UncRootsFailQuietly) {
    EnsureDirectoryPath(L"\\\\no-such-server\\share\\dir");  // must simply return
}

TEST(ToExtendedPath, MakesLongPathsUsable) {
    EXPECT_EQ(ToExtendedPath(L"C:\\a/b\\..\\c"), L"\\\\?\\C:\\a\\c");
    EXPECT_EQ(ToExtendedPath(L"\\\\server\\share\\x"), L"\\\\?\\UNC\\server\\share\\x");
    EXPECT_EQ(ToExtendedPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
}

}  // namespace
}  // namespace ksr
