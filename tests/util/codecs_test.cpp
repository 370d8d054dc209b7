#include <gtest/gtest.h>

#include "util/codecs.h"

namespace ksr {
namespace {

TEST(PercentEncodeUtf8, EscapesEverythingOutsideSevenBits) {
    EXPECT_EQ(PercentEncodeUtf8(L""), L"");
    EXPECT_EQ(PercentEncodeUtf8(L"abc &'/\\:"), L"abc &'/\\:");
    EXPECT_EQ(PercentEncodeUtf8(L"\u00E9"), L"%C3%A9");
    EXPECT_EQ(PercentEncodeUtf8(L"\u4E2D"), L"%E4%B8%AD");
    EXPECT_EQ(PercentEncodeUtf8(L"\u8A66"), L"%E8%A9%A6") << "units above 0x7FFF are unsigned";
    EXPECT_EQ(PercentEncodeUtf8(L"D:\\\u6587\u6863"), L"D:\\%E6%96%87%E6%A1%A3");
    EXPECT_EQ(PercentEncodeUtf8(L"\U0001F600"), L"%ED%A0%BD%ED%B8%80");
}

TEST(PercentEncodeUtf8, BoundariesGiveOneTwoOrThreeBytes) {
    EXPECT_EQ(PercentEncodeUtf8(std::wstring(1, 0x7F)), std::wstring(1, 0x7F));
    EXPECT_EQ(PercentEncodeUtf8(std::wstring(1, 0x80)), L"%C2%80");
    EXPECT_EQ(PercentEncodeUtf8(std::wstring(1, 0x7FF)), L"%DF%BF");
    EXPECT_EQ(PercentEncodeUtf8(std::wstring(1, 0x800)), L"%E0%A0%80");
    EXPECT_EQ(PercentEncodeUtf8(std::wstring(1, 0xFFFF)), L"%EF%BF%BF");
}

TEST(PercentEncodeUtf8, EscapesPercentAndPlusSoTheyComeBack) {
    EXPECT_EQ(PercentEncodeUtf8(L"a+b%41"), L"a%2Bb%2541");
    for (const std::wstring text : {L"x+y", L"50%41", L"100%", L"%", L"+", L"a b+c%2B%%"}) {
        EXPECT_EQ(PercentDecode(PercentEncodeUtf8(text)), text);
    }
}

TEST(PercentDecode, UndoesEscapesAndPlus) {
    EXPECT_EQ(PercentDecode(L""), L"");
    EXPECT_EQ(PercentDecode(L"a+b"), L"a b");
    EXPECT_EQ(PercentDecode(L"%e4%b8%ad"), L"\u4E2D");
    EXPECT_EQ(PercentDecode(L"%C3%A9"), L"\u00E9");
    EXPECT_EQ(PercentDecode(L"50%25"), L"50%");
    EXPECT_EQ(PercentDecode(L"%41"), L"A");
    EXPECT_EQ(PercentDecode(L"D:\\%E6%96%87%E6%A1%A3"), L"D:\\\u6587\u6863");
    EXPECT_EQ(PercentDecode(L"%E4xB8yAD"), L"\u4E2D") << "separator positions are not read";
    EXPECT_EQ(PercentDecode(L"\u6587+"), L"\u6587 ");
}

TEST(PercentDecode, KeepsBrokenEscapesAndNeverReadsPastTheEnd) {
    EXPECT_EQ(PercentDecode(L"%"), L"%");
    EXPECT_EQ(PercentDecode(L"ab%4"), L"ab%4");
    EXPECT_EQ(PercentDecode(L"%zz1"), L"%zz1");
    EXPECT_EQ(PercentDecode(L"x%E4%B8"), L"x%E4%B8") << "three-byte form cut short";
    EXPECT_EQ(PercentDecode(L"%C3%"), L"%C3%");
    EXPECT_EQ(PercentDecode(L"%C3%A9%"), L"\u00E9%");
    EXPECT_EQ(PercentDecode(L"%E4%B8%Az-ok"), L"%E4%B8%Az-ok");
}

TEST(PercentCodecs, EveryCodeUnitRoundTrips) {
    for (unsigned u = 1; u <= 0xFFFF; ++u) {
        const std::wstring one(1, static_cast<wchar_t>(u));
        ASSERT_EQ(PercentDecode(PercentEncodeUtf8(one)), one) << "code unit " << u;
        const std::wstring framed = L"a" + one + L"+%";
        ASSERT_EQ(PercentDecode(PercentEncodeUtf8(framed)), framed) << "code unit " << u;
    }
    const std::wstring pair = L"\U0001F600\U00020000";
    EXPECT_EQ(PercentDecode(PercentEncodeUtf8(pair)), pair);
}

}  // namespace
}  // namespace ksr
