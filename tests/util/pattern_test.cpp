#include <gtest/gtest.h>

#include "util/pattern.h"

namespace ksr {
namespace {

TEST(MatchesPattern, SpecialCharactersOfFolderNames) {
    EXPECT_TRUE(MatchesPattern(L"a&b", L"7"));
    EXPECT_TRUE(MatchesPattern(L"it's", L"7"));
    EXPECT_TRUE(MatchesPattern(L"100%", L"7"));
    EXPECT_TRUE(MatchesPattern(L" & ", L"7"));
    EXPECT_FALSE(MatchesPattern(L"a-b", L"7"));
    EXPECT_FALSE(MatchesPattern(L"\u6587\u6863", L"7"));
    EXPECT_FALSE(MatchesPattern(L"", L"7"));
    EXPECT_TRUE(MatchesPattern(L"a?b", L"8"));
    EXPECT_FALSE(MatchesPattern(L"ab", L"8"));
}

TEST(MatchesPattern, AnchoredFieldPatternsSeeTheTrimmedText) {
    EXPECT_TRUE(MatchesPattern(L" 123 ", L"2"));
    EXPECT_FALSE(MatchesPattern(L"12 3", L"2"));
    EXPECT_FALSE(MatchesPattern(L"\t123", L"2")) << "only blanks are trimmed";
    EXPECT_TRUE(MatchesPattern(L"ABC def", L"0"));
    EXPECT_FALSE(MatchesPattern(L"", L"0"));
    EXPECT_TRUE(MatchesPattern(L"12-34", L"1"));
    EXPECT_TRUE(MatchesPattern(L"a.b+c@example.co.uk", L"3"));
    EXPECT_FALSE(MatchesPattern(L"a@b", L"3"));
    EXPECT_TRUE(MatchesPattern(L"13812345678", L"4"));
    EXPECT_FALSE(MatchesPattern(L"12812345678", L"4"));
    EXPECT_TRUE(MatchesPattern(L"010-12345678", L"5"));
    EXPECT_TRUE(MatchesPattern(L"0086-010-12345678-123", L"5"));
    EXPECT_TRUE(MatchesPattern(L"01012345678", L"6"));
}

TEST(MatchesPattern, OtherSelectorsAreThePatternItself) {
    EXPECT_TRUE(MatchesPattern(L"x07y", L"07"));
    EXPECT_FALSE(MatchesPattern(L"a&b", L"07")) << "\"07\" is not entry 7";
    EXPECT_TRUE(MatchesPattern(L"HELLO", L"^hello$")) << "letter case is ignored";
    EXPECT_FALSE(MatchesPattern(L"[", L"["));
    EXPECT_FALSE(MatchesPattern(L"abc", L"(unclosed"));
}

}  // namespace
}  // namespace ksr
