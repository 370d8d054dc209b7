#include <gtest/gtest.h>

#include "util/guid.h"

namespace ksr {
namespace {

TEST(GuidText, FormatsFieldsAsUnsignedZeroPaddedHex) {
    const GUID guid{0xABCD, 0x0001, 0x8001, {0x00, 0x01, 0x0F, 0x10, 0xAB, 0xCD, 0xEF, 0xFF}};
    EXPECT_EQ(FormatGuidText(guid), L"0000ABCD0001800100010F10ABCDEFFF");
    const GUID high{0xFFFFFFFF, 0xFFFF, 0x8000, {0, 0, 0, 0, 0, 0, 0, 0}};
    EXPECT_EQ(FormatGuidText(high), L"FFFFFFFFFFFF80000000000000000000");
}

TEST(GuidText, FreshIdentifiersAreDistinctUpperCaseHex) {
    const std::wstring a = NewGuidText().value();
    const std::wstring b = NewGuidText().value();
    EXPECT_NE(a, b);
    for (const std::wstring& text : {a, b}) {
        ASSERT_EQ(text.size(), 32u);
        EXPECT_EQ(text.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos) << text.c_str();
    }
}

}  // namespace
}  // namespace ksr
