#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "util/result.h"

namespace ksr {
namespace {

Result<int> Half(int n) {
    if (n % 2 != 0) return Win32Error(ERROR_INVALID_PARAMETER, L"odd");
    return n / 2;
}

TEST(Result, HoldsEitherTheValueOrTheError) {
    const Result<int> good = Half(8);
    ASSERT_TRUE(good.ok());
    EXPECT_TRUE(static_cast<bool>(good));
    EXPECT_EQ(*good, 4);
    EXPECT_EQ(good.value_or(-1), 4);

    const Result<int> bad = Half(3);
    ASSERT_FALSE(bad.ok());
    EXPECT_FALSE(static_cast<bool>(bad));
    EXPECT_EQ(bad.error().win32, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bad.error().path, L"odd");
    EXPECT_EQ(bad.value_or(-1), -1);
    EXPECT_THROW((void)bad.value(), std::bad_variant_access) << "no value to read";
    EXPECT_THROW((void)good.error(), std::bad_variant_access) << "no error to read";
}

TEST(Result, AValueThatIsItselfEmptyIsStillSuccess) {
    // A query that found no row succeeds with no value; only an Error means failure.
    const Result<std::optional<std::wstring>> none = std::optional<std::wstring>();
    ASSERT_TRUE(none.ok());
    EXPECT_FALSE(none->has_value());
    const Result<std::wstring> empty = std::wstring();
    EXPECT_TRUE(empty.ok());
    const Result<bool> no = false;
    ASSERT_TRUE(no.ok());
    EXPECT_FALSE(*no);
}

TEST(Result, MovesOnlyValuesAndErrorsOut) {
    Result<std::unique_ptr<int>> owned = std::make_unique<int>(7);
    std::unique_ptr<int> taken = std::move(owned).value();
    EXPECT_EQ(*taken, 7);

    Result<std::wstring> failed = DatabaseError(L"08S01", L"gone", 2013);
    const Error error = std::move(failed).error();
    EXPECT_EQ(error.sqlstate, L"08S01");
    EXPECT_EQ(error.message, L"gone");
}

TEST(Status, SucceedsByDefaultAndCarriesTheError) {
    const Status fine;
    EXPECT_TRUE(fine.ok());
    EXPECT_EQ(Win32CodeOf(fine), static_cast<DWORD>(ERROR_SUCCESS));

    SetLastError(ERROR_ACCESS_DENIED);
    const Status denied = Win32Failure(L"C:\\x");
    ASSERT_FALSE(denied.ok());
    EXPECT_EQ(denied.error().win32, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(denied.error().path, L"C:\\x");
    EXPECT_FALSE(denied.error().IsDatabase());
    EXPECT_EQ(Win32CodeOf(denied), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(Win32CodeOf(Half(5)), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

TEST(Error, ConnectionLevelFailures) {
    for (const wchar_t* state : {L"08001", L"08S01", L"08003", L"HYT00", L"HYT01"}) {
        EXPECT_TRUE(DatabaseError(state, L"").IsConnectionLevel()) << state;
    }
    for (const long code : {2002L, 2003L, 2005L, 2006L, 2013L, 2055L}) {
        EXPECT_TRUE(DatabaseError(L"HY000", L"", code).IsConnectionLevel()) << code;
    }
    EXPECT_FALSE(DatabaseError(L"HY000", L"", 1062).IsConnectionLevel());
    EXPECT_FALSE(DatabaseError(L"42S02", L"", 1146).IsConnectionLevel());
    EXPECT_FALSE(DatabaseError(L"22001", L"", 1406).IsConnectionLevel());
    // A system error never counts as a lost connection, whatever its number.
    EXPECT_FALSE(Win32Error(2013).IsConnectionLevel());
}

TEST(Error, TruncationFailures) {
    for (const wchar_t* state : {L"01004", L"22001"}) {
        EXPECT_TRUE(DatabaseError(state, L"").IsTruncation()) << state;
    }
    for (const long code : {1265L, 1366L, 1406L, 8152L, 2628L}) {
        EXPECT_TRUE(DatabaseError(L"HY000", L"", code).IsTruncation()) << code;
    }
    EXPECT_FALSE(DatabaseError(L"HY000", L"", 1062).IsTruncation());
    EXPECT_FALSE(DatabaseError(L"08S01", L"", 2013).IsTruncation());
    EXPECT_FALSE(Win32Error(1406).IsTruncation());
}

// An exception where none was expected is told as the program's own failure, never as a system
// error that did not happen; its text goes with it when it has one.
TEST(Error, UnexpectedFailuresAreTheProgramsOwn) {
    Error said, silent;
    try {
        throw std::runtime_error("vector too long");
    } catch (...) {
        said = UnexpectedFailure(L"C:\\a");
    }
    try {
        throw 3;
    } catch (...) {
        silent = UnexpectedFailure();
    }
    for (const Error* error : {&said, &silent}) {
        EXPECT_TRUE(error->internal);
        EXPECT_FALSE(error->IsDatabase());
        EXPECT_EQ(error->win32, static_cast<DWORD>(ERROR_INTERNAL_ERROR));
    }
    EXPECT_EQ(said.message, L"vector too long");
    EXPECT_EQ(said.path, L"C:\\a");
    EXPECT_EQ(silent.message, L"");
    EXPECT_FALSE(Win32Error(ERROR_INTERNAL_ERROR).internal);
}

}  // namespace
}  // namespace ksr
