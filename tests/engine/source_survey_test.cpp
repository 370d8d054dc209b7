#include <gtest/gtest.h>

#include <windows.h>

#include "engine/source_survey.h"
#include "support/temp_dir.h"

namespace ksr {
namespace {

TEST(StorePlan, TellsSharedAndLateStorePaths) {
    StorePlan plan(
        {StoreKey(L"D/a.txt"), StoreKey(L"D/B.TXT"), StoreKey(L"d/b.txt"), StoreKey(L"D/c.txt")});
    EXPECT_EQ(plan.ClaimPath(L"D/b.txt"), StorePlan::Claim::Shared) << "letter case is one file";
    EXPECT_EQ(plan.ClaimPath(L"D/B.txt"), StorePlan::Claim::Shared);
    EXPECT_EQ(plan.ClaimPath(L"D/a.txt"), StorePlan::Claim::Sole);
    EXPECT_EQ(plan.ClaimPath(L"D/A.TXT"), StorePlan::Claim::Taken) << "appeared after the survey";
    EXPECT_EQ(plan.ClaimPath(L"D/new.txt"), StorePlan::Claim::Sole);
    EXPECT_EQ(plan.ClaimPath(L"D/new.txt"), StorePlan::Claim::Taken);
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
    StorePlan plan(survey->storeKeys);
    EXPECT_EQ(plan.ClaimPath(L"DownLoad/Public/R D/x.txt"), StorePlan::Claim::Shared);
    EXPECT_EQ(plan.ClaimPath(L"DownLoad/Public/a b.txt"), StorePlan::Claim::Shared);
    EXPECT_EQ(plan.ClaimPath(L"DownLoad/Public/solo.txt"), StorePlan::Claim::Sole);
    EXPECT_FALSE(SurveyFolder(dir / L"absent", L"x/"));
}

}  // namespace
}  // namespace ksr
