#include <gtest/gtest.h>

#include <windows.h>

#include <stdexcept>

#include "engine/failure_reason.h"
#include "engine/log_texts.h"

namespace ksr {
namespace {

// The report words every failure as its kind is worded elsewhere: an internal one as the run's
// unexpected failure with what the program said, the others by their database or system error.
TEST(ErrorReason, WordsEachKindOfFailureAsTheReportDoes) {
    Error internal;
    try {
        throw std::runtime_error("bad allocation");
    } catch (...) {
        internal = UnexpectedFailure();
    }
    EXPECT_EQ(ErrorReason(internal), std::wstring(reason::kUnexpected) + L"bad allocation");
    EXPECT_EQ(ErrorReason(Win32Error(ERROR_ACCESS_DENIED)), Win32Reason(ERROR_ACCESS_DENIED));
    const Error database = DatabaseError(L"42S02", L"no table", 1146);
    EXPECT_EQ(ErrorReason(database), DatabaseReason(database));
    EXPECT_EQ(LinkInTheWay(internal), ErrorReason(internal));
}

}  // namespace
}  // namespace ksr
