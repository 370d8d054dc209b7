#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "util/size_text.h"

namespace ksr {
namespace {

constexpr uint64_t kKiB = 1024, kMiB = kKiB * 1024, kGiB = kMiB * 1024;

TEST(SizeText, ShowsTheSizeCutToATenthOfTheLargestUnitReached) {
    const struct {
        uint64_t bytes;
        const wchar_t* shown;
    } cases[] = {
        {0, L"0.0 KB"},
        {1023, L"0.9 KB"},
        {kKiB, L"1.0 KB"},
        {kMiB - 1, L"1023.9 KB"},
        {kMiB, L"1.0 MB"},
        {kGiB - 1, L"1023.9 MB"},
        {kGiB, L"1.0 GB"},
        {3 * kGiB + kGiB / 10 + 1, L"3.1 GB"},
        {4096 * kGiB, L"4096.0 GB"},  // no unit above GB
        {UINT64_MAX, L"17179869183.9 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(SizeText(c.bytes), c.shown) << c.bytes;

    // Read back, every figure stands for the exact size cut to a tenth of its unit.
    for (int bit = 0; bit < 64; ++bit) {
        for (const uint64_t bytes : {(uint64_t{1} << bit) - 1, (uint64_t{3} << bit) / 2}) {
            const std::wstring text = SizeText(bytes);
            const size_t dot = text.find(L'.');
            ASSERT_EQ(text.size(), dot + 5) << bytes << ": one decimal, a space and the unit";
            const uint64_t unit = text.ends_with(L"GB")   ? kGiB
                                  : text.ends_with(L"MB") ? kMiB
                                                          : kKiB;
            EXPECT_TRUE(unit == kKiB || bytes >= unit) << bytes;
            EXPECT_TRUE(unit == kGiB || bytes < unit * 1024) << bytes;
            const unsigned __int128 tenths =
                std::stoull(text.substr(0, dot)) * 10 + (text[dot + 1] - L'0');
            EXPECT_LE(tenths * unit, static_cast<unsigned __int128>(bytes) * 10) << bytes;
            EXPECT_LT(static_cast<unsigned __int128>(bytes) * 10, (tenths + 1) * unit) << bytes;
        }
    }
}

}  // namespace
}  // namespace ksr
