#include <gtest/gtest.h>

#include <windows.h>

#include "engine/source_survey.h"
#include "support/temp_dir.h"
#include "util/paths.h"

namespace ksr {
namespace {

// Only the first claim of a store path, surveyed or not, in any letter case, is the first.
TEST(StorePlan, TellsTheFirstClaimOfEachStorePath) {
    using enum StorePlan::Claim;
    StorePlan plan(
        {StoreKey(L"D/a.txt"), StoreKey(L"D/B.TXT"), StoreKey(L"d/b.txt"), StoreKey(L"D/c.txt")});
    const std::pair<const wchar_t*, StorePlan::Claim> claims[] = {
        {L"D/b.txt", First},   {L"D/B.txt", Again},   {L"D/a.txt", First}, {L"D/A.TXT", Again},
        {L"D/new.txt", First}, {L"D/NEW.txt", Again}, {L"D/c.txt", First},
    };
    for (const auto& [path, claim] : claims) {
        EXPECT_EQ(plan.ClaimPath(path), claim) << test::Utf8(path);
    }
}

// A check remembers the first source only of the store paths a later source may claim again.
TEST(StorePlan, TellsTheStorePathsSeveralSourcesMayShare) {
    const StorePlan plan({StoreKey(L"D/a.txt"), StoreKey(L"D/B.TXT"), StoreKey(L"d/b.txt")});
    const std::pair<const wchar_t*, bool> paths[] = {
        {L"D/a.txt", false}, {L"D/b.txt", true}, {L"D/B.txt", true}, {L"D/new.txt", true}};
    for (const auto& [path, shared] : paths) {
        EXPECT_EQ(plan.Shared(path), shared) << test::Utf8(path);
    }
}

TEST(SurveyFolder, KeysFilesByTheStorePathsTheWalkGivesThem) {
    test::TempDir dir;
    test::WriteBytes(dir / L"t\\R&D\\x.txt", "1");
    test::WriteBytes(dir / L"t\\R D\\x.txt", "22");
    test::WriteBytes(dir / L"t\\a\u00A0b.txt", "333");
    test::WriteBytes(dir / L"t\\a b.txt", "4444");
    test::WriteBytes(dir / L"t\\solo.txt", "5");
    test::WriteBytes(dir / L"t\\sys.txt", "66");
    SetFileAttributesW((dir / L"t\\sys.txt").c_str(), FILE_ATTRIBUTE_SYSTEM);
    const auto survey = SurveyFolder(dir / L"t", L"DownLoad/Public/");
    ASSERT_TRUE(survey);
    EXPECT_EQ(survey->bytes, 13u) << "every byte counts toward the total";
    EXPECT_EQ(survey->files, 5u) << "a system file is not imported";
    EXPECT_TRUE(survey->brokenFolders.empty());
    EXPECT_EQ(survey->filesByFolder.at(dir / L"t\\R&D\\"), std::wstring(L"x.txt\0", 6));
    StorePlan plan(survey->storeKeys);
    for (const wchar_t* path : {L"DownLoad/Public/R D/x.txt", L"DownLoad/Public/a b.txt"}) {
        EXPECT_EQ(plan.ClaimPath(path), StorePlan::Claim::First);
        EXPECT_EQ(plan.ClaimPath(path), StorePlan::Claim::Again) << "two sources share it";
    }
    EXPECT_FALSE(SurveyFolder(dir / L"absent", L"x/"));
}

// The room a run needs counts only the files whose store path holds no file of their size,
// letter case aside; a store directory that is missing (or a link) holds none.
TEST(SurveyFolder, CountsOnlyTheBytesTheStoreLacks) {
    test::TempDir dir;
    const std::wstring store = dir / L"store";
    const struct {
        const wchar_t* source;  // below the folder surveyed, and its size
        size_t size;
        const wchar_t* stored;  // below the store's public area, or none
        size_t storedSize;
        bool counted;
    } files[] = {
        {L"same.txt", 10, L"same.txt", 10, false},
        {L"Case.txt", 20, L"CASE.TXT", 20, false},
        {L"edited.txt", 40, L"edited.txt", 41, true},
        {L"new.txt", 80, nullptr, 0, true},
        {L"Sub\\deep.txt", 160, L"SUB\\deep.txt", 160, false},
        {L"R&D\\x.txt", 320, L"R D\\x.txt", 320, false},
        {L"Gone\\y.txt", 640, nullptr, 0, true},
    };
    uint64_t all = 0, expected = 0;
    for (const auto& file : files) {
        test::WriteBytes(dir / (L"t\\" + std::wstring(file.source)), std::string(file.size, 'x'));
        if (file.stored) {
            test::WriteBytes(store + L"\\DownLoad\\Public\\" + file.stored,
                             std::string(file.storedSize, 'y'));
        }
        all += file.size;
        if (file.counted) expected += file.size;
    }
    const auto survey = SurveyFolder(dir / L"t", L"DownLoad/Public/", ToExtendedPath(store));
    ASSERT_TRUE(survey);
    EXPECT_EQ(survey->bytes, all);
    EXPECT_EQ(survey->bytesToCopy, expected);
    const auto noStore =
        SurveyFolder(dir / L"t", L"DownLoad/Public/", ToExtendedPath(dir / L"none"));
    ASSERT_TRUE(noStore);
    EXPECT_EQ(noStore->bytesToCopy, all);
}

}  // namespace
}  // namespace ksr
