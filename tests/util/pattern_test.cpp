#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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
    EXPECT_FALSE(MatchesPattern(L"abc", L"(unclosed")) << "an invalid pattern stays refused";
}

TEST(MatchesPattern, CompiledPatternsServeSeveralThreadsAtOnce) {
    // The walk and the copy threads ask at the same time; every answer must stay the one a
    // single thread gets, also for patterns first compiled while others match.
    const std::wstring names[] = {L"a&b", L"plain", L"it's", L"100%", L"文档", L"a?b"};
    const bool special[] = {true, false, true, true, false, false};
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> threads;
    for (size_t t = 0; t < wrong.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                for (size_t n = 0; n < std::size(names); ++n) {
                    if (MatchesPattern(names[n], L"7") != special[n]) ++wrong[t];
                }
                const std::wstring own =
                    L"^t" + std::to_wstring(t) + L"-" + std::to_wstring(i % 5) + L"$";
                if (!MatchesPattern(L"T" + std::to_wstring(t) + L"-" + std::to_wstring(i % 5), own))
                    ++wrong[t];
                if (MatchesPattern(L"t9-9", own)) ++wrong[t];
                if (MatchesPattern(L"x", L"(bad")) ++wrong[t];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(MatchesPattern, ManyDistinctPatternsStillMatch) {
    // Beyond what is kept compiled, patterns are compiled for each call and still answer.
    for (int i = 0; i < 200; ++i) {
        const std::wstring n = std::to_wstring(i);
        EXPECT_TRUE(MatchesPattern(L"n" + n, L"^n" + n + L"$")) << i;
        EXPECT_FALSE(MatchesPattern(L"n" + n + L"x", L"^n" + n + L"$")) << i;
    }
}

}  // namespace
}  // namespace ksr
