#include <gtest/gtest.h>

#include <windows.h>

#include "engine/source_survey.h"
#include "support/temp_dir.h"

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

}  // namespace
}  // namespace ksr
