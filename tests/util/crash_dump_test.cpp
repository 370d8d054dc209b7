#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "util/crash_dump.h"

namespace ksr {
namespace {

// Each start is told of the complete dumps written since the one before, oldest first, and of
// nothing else: not a dump cut short, not a run report, not a dump already named.
TEST(CrashDump, EachStartNamesTheDumpsWrittenSinceTheLastOne) {
    test::TempDir dir;
    const struct {
        std::vector<std::wstring> written;  // before this start
        std::vector<std::wstring> named;
    } starts[] = {
        {{}, {}},
        {{L"ksrimport-crash-20261210-101500-0000000042.dmp", L"20261210-101000.csv",
          L"ksrimport-crash-20261210-101600-0000000043.dmp.part",
          L"ksrimport-crash-20261209-235900-0000000007.dmp"},
         {L"ksrimport-crash-20261209-235900-0000000007.dmp",
          L"ksrimport-crash-20261210-101500-0000000042.dmp"}},
        {{}, {}},
        {{L"ksrimport-crash-20261211-080000-0000000009.dmp"},
         {L"ksrimport-crash-20261211-080000-0000000009.dmp"}},
    };
    for (const auto& start : starts) {
        for (const std::wstring& name : start.written) test::WriteBytes(dir / name, "MDMP");
        std::vector<std::wstring> expected;
        for (const std::wstring& name : start.named) expected.push_back(dir / name);
        EXPECT_EQ(TakeNewCrashDumps(dir.path()), expected);
    }
}

}  // namespace
}  // namespace ksr
