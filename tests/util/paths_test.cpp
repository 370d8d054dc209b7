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

TEST(ToExtendedPath, MakesLongPathsUsable) {
    EXPECT_EQ(ToExtendedPath(L"C:\\a/b\\..\\c"), L"\\\\?\\C:\\a\\c");
    EXPECT_EQ(ToExtendedPath(L"\\\\server\\share\\x"), L"\\\\?\\UNC\\server\\share\\x");
    EXPECT_EQ(ToExtendedPath(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
}

TEST(ExtendedFromAbsolute, PrefixesWithoutParsing) {
    EXPECT_EQ(ExtendedFromAbsolute(L"X:\\a\\b"), L"\\\\?\\X:\\a\\b");
    EXPECT_EQ(ExtendedFromAbsolute(L"X:\\"), L"\\\\?\\X:\\");
    EXPECT_EQ(ExtendedFromAbsolute(L"\\\\server\\share\\a"), L"\\\\?\\UNC\\server\\share\\a");
    EXPECT_EQ(ExtendedFromAbsolute(L"\\\\?\\X:\\a"), L"\\\\?\\X:\\a");
    EXPECT_EQ(ExtendedFromAbsolute(L"\\\\?\\UNC\\s\\h"), L"\\\\?\\UNC\\s\\h");
    EXPECT_EQ(ExtendedFromAbsolute(L"X:\\a.\\b \\NUL"), L"\\\\?\\X:\\a.\\b \\NUL")
        << "names stay exactly as given";
    EXPECT_EQ(ExtendedFromAbsolute(L"X:\\a/b"), L"\\\\?\\X:\\a/b");
}

TEST(IsAlteredByPathParsing, TrailingDotsAndBlanksAndDeviceNames) {
    for (const wchar_t* name :
         {L"a.txt.",     L"a.txt ",      L"v1.",          L"A ",     L"...",     L"a. .",
          L"NUL",        L"nul",         L"CON",          L"prn",    L"Aux",     L"COM1",
          L"com9",       L"LPT1",        L"lpt9",         L"CONIN$", L"conout$", L"NUL.txt",
          L"con .txt",   L"Com1.tar.gz", L"nul..txt",     L"CON.",   L"nul ",    L"lpt9.x",
          L"conin$.txt", L"COM\u00B9",   L"lpt\u00B3.txt"}) {
        EXPECT_TRUE(IsAlteredByPathParsing(name)) << test::Utf8(name);
    }
    for (const wchar_t* name : {L".", L"..", L"", L"console.txt", L"nul1", L"a.b", L"中文.txt",
                                L"COM0", L"LPT0", L"COM10", L"CONIN", L"clock$", L" a", L".hidden",
                                L"a..b", L"xnul", L"nul_x", L"ＮＵＬ"}) {
        EXPECT_FALSE(IsAlteredByPathParsing(name)) << test::Utf8(name);
    }
}

TEST(IsAlteredByPathParsing, AgreesWithThisSystemsPathParsing) {
    // Windows 11 no longer maps a device name with an extension, and superscript device
    // numbers vary, so only the cases every version alters or keeps are compared here.
    for (const wchar_t* name : {L"a.txt.", L"b ", L"v1. .", L"NUL", L"con", L"COM3", L"lpt2",
                                L"CONOUT$", L"a.b", L"nul1", L"console.txt", L"COM0", L" a"}) {
        const std::wstring path = std::wstring(L"C:\\x\\") + name;
        wchar_t full[MAX_PATH];
        ASSERT_NE(GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr), 0u);
        EXPECT_EQ(IsAlteredByPathParsing(name), path != full) << test::Utf8(name);
    }
}

TEST(IsAbsoluteLocalPath, OnlyPlainDriveLetterPaths) {
    for (const wchar_t* path :
         {L"C:\\", L"c:\\a", L"Z:\\a\\b\\", L"C:\\a.\\b ", L"C:\\...", L"D:\\中文\\文件.txt"}) {
        EXPECT_TRUE(IsAbsoluteLocalPath(path)) << test::Utf8(path);
    }
    for (const wchar_t* path :
         {L"", L"C:", L"C:foo", L"a\\b", L"\\a", L"\\\\server\\share\\a", L"\\\\?\\C:\\a",
          L"\\\\.\\NUL", L"C:/a", L"C:\\a/b", L"C:\\.", L"C:\\a\\.\\b", L"C:\\a\\..",
          L"C:\\a\\..\\b", L"C:\\a\\\\b", L"C:\\\\", L"1:\\a", L"CC:\\a"}) {
        EXPECT_FALSE(IsAbsoluteLocalPath(path)) << test::Utf8(path);
    }
}

TEST(PathContains, WholeSegmentsIgnoringCase) {
    EXPECT_TRUE(PathContains(L"C:\\a", L"c:\\A\\b"));
    EXPECT_TRUE(PathContains(L"C:\\a", L"C:\\a"));
    EXPECT_TRUE(PathContains(L"C:\\a\\", L"C:\\a"));
    EXPECT_TRUE(PathContains(L"C:\\a", L"C:\\a\\"));
    EXPECT_TRUE(PathContains(L"C:\\", L"C:\\x"));
    EXPECT_TRUE(PathContains(L"C:\\", L"c:\\"));
    EXPECT_TRUE(PathContains(L"C:\\文档\\ä", L"C:\\文档\\Ä\\x")) << "case beyond ASCII";
    EXPECT_TRUE(PathContains(L"\\\\server\\share", L"\\\\SERVER\\share\\x"));
    EXPECT_FALSE(PathContains(L"C:\\a", L"C:\\ab"));
    EXPECT_FALSE(PathContains(L"C:\\ab", L"C:\\a"));
    EXPECT_FALSE(PathContains(L"C:\\a\\b", L"C:\\a"));
    EXPECT_FALSE(PathContains(L"C:\\", L"D:\\x"));
    EXPECT_FALSE(PathContains(L"", L"C:\\x"));
}

class ResolveFolderTest : public ::testing::Test {
  protected:
    test::TempDir dir_;
    const std::wstring resolved_ = ResolveFolder(dir_.path()).value();
};

TEST_F(ResolveFolderTest, GivesTheFullPathWithoutTrailingSeparator) {
    EXPECT_EQ(ResolveFolder(dir_.path() + L"\\"), resolved_);
    EXPECT_FALSE(resolved_.ends_with(L'\\'));
    EXPECT_FALSE(resolved_.starts_with(L"\\\\?\\"));
    EXPECT_TRUE(IsAbsoluteLocalPath(resolved_));
    test::MakeDirs(dir_ / L"sub");
    EXPECT_EQ(ResolveFolder(dir_ / L"sub\\..\\"), resolved_);
    EXPECT_EQ(ResolveFolder(dir_ / L"sub\\.\\..\\sub"), resolved_ + L"\\sub");
    EXPECT_EQ(ResolveFolder(dir_ / L"missing\\..\\gone\\"), resolved_ + L"\\gone")
        << "a folder that doesn't exist is still made absolute";
    EXPECT_EQ(ResolveFolder(L"C:\\"), L"C:\\");
    EXPECT_EQ(ResolveFolder(L"C:\\\\"), L"C:\\");
    EXPECT_FALSE(ResolveFolder(L"").has_value());
    EXPECT_FALSE(ResolveFolder(L"NUL").has_value()) << "a device is no folder";
}

TEST_F(ResolveFolderTest, ExistingFolderTakesItsStoredLetterCase) {
    test::MakeDirs(dir_ / L"MixedCase");
    std::wstring upper = resolved_ + L"\\MIXEDCASE";
    EXPECT_EQ(ResolveFolder(upper), resolved_ + L"\\MixedCase");
}

TEST_F(ResolveFolderTest, LinksResolveAndLinkedDrivesStay) {
    // dev/test maps drive D: to a Unix directory, which holds "link-tree\loop" pointing at
    // "link-tree" itself.
    ASSERT_NE(GetFileAttributesW(L"D:\\link-tree\\loop"), INVALID_FILE_ATTRIBUTES)
        << "run through dev/test";
    EXPECT_EQ(ResolveFolder(L"D:\\"), L"D:\\");
    EXPECT_EQ(ResolveFolder(L"d:\\LINK-TREE\\loop\\real\\"), L"D:\\link-tree\\real");
    EXPECT_EQ(ResolveFolder(L"D:\\link-tree\\loop"), L"D:\\link-tree");
}

TEST_F(ResolveFolderTest, FolderWithTrailingDotIsNotTakenForItsNamesake) {
    // A "\\?\" path is not parsed again, and Wine reports the final path of "v1." as "v1":
    // the resolver must not switch folders either way.
    const std::wstring base = ExtendedFromAbsolute(resolved_);
    ASSERT_TRUE(CreateDirectoryLevels(base + L"\\v1.").ok());
    ASSERT_TRUE(CreateDirectoryLevels(base + L"\\v1").ok());
    EXPECT_EQ(ResolveFolder(base + L"\\v1.\\"), resolved_ + L"\\v1.");
}

TEST(CreateDirectoryLevels, KeepsRawNamesAndMakesEveryLevel) {
    test::TempDir dir;
    const std::wstring base = ExtendedFromAbsolute(dir.path());
    EXPECT_TRUE(CreateDirectoryLevels(base + L"\\A \\b.\\c").ok());
    EXPECT_EQ(test::ListNames(dir.path()), (std::vector<std::wstring>{L"A "}));
    EXPECT_EQ(GetFileAttributesW((base + L"\\A \\b.\\c").c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW((base + L"\\A").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetFileAttributesW((base + L"\\A \\b").c_str()), INVALID_FILE_ATTRIBUTES);

    EXPECT_TRUE(CreateDirectoryLevels(base + L"\\A \\b.\\c\\").ok())
        << "an existing directory, with a trailing separator";
    EXPECT_TRUE(CreateDirectoryLevels(base).ok());
    EXPECT_TRUE(CreateDirectoryLevels(L"\\\\?\\C:\\").ok());

    std::wstring deep = base;
    for (int i = 0; i < 30; ++i) deep += L"\\level-" + std::to_wstring(i) + L"-文件夹";
    ASSERT_GT(deep.size(), 400u);
    EXPECT_TRUE(CreateDirectoryLevels(deep).ok());
    EXPECT_EQ(GetFileAttributesW(deep.c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
}

TEST(CreateDirectoryLevels, ReportsTheLevelThatFailed) {
    test::TempDir dir;
    const std::wstring base = ExtendedFromAbsolute(dir.path());
    test::WriteBytes(dir / L"file", "x");
    const Status file = CreateDirectoryLevels(base + L"\\file");
    ASSERT_FALSE(file.ok());
    EXPECT_EQ(file.error().win32, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(file.error().path, base + L"\\file");
    const Status below = CreateDirectoryLevels(base + L"\\file\\a\\b");
    ASSERT_FALSE(below.ok());
    EXPECT_EQ(below.error().win32, static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(below.error().path, base + L"\\file") << "the level that failed, not the target";
    EXPECT_FALSE(test::Exists(dir / L"file\\a"));

    const Status noDrive = CreateDirectoryLevels(L"\\\\?\\Q:\\");
    ASSERT_FALSE(noDrive.ok()) << "a drive that isn't there";
    EXPECT_EQ(noDrive.error().win32, static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
}  // namespace ksr
