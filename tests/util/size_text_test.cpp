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
}

}  // namespace
}  // namespace ksr
