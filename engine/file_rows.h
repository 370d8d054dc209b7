#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace ksr {

// The row counts a batch of files is written in, largest first: a few sizes cover every batch,
// so each statement is prepared once per connection. SQL Server takes 2,100 parameters and
// 1,000 rows of VALUES at most in one statement; the largest count keeps within both.
inline constexpr size_t kFileRowChunks[] = {256, 64, 16, 4, 1};

// The largest of kFileRowChunks that `left` files fill.
[[nodiscard]] inline size_t FileRowChunk(size_t left) {
    for (const size_t size : kFileRowChunks) {
        if (left >= size) return size;
    }
    return 1;
}

// The UsName and CreatorName every file row is sent with.
inline constexpr wchar_t kFileCreatorName[] = L"admin";

// The inserts of `rows` files' PtpFile and MD5File rows, in the order they are sent.
std::vector<std::wstring> FileInsertStatements(size_t rows);

// Counts a file's PtpFile rows by its identifier: whether a commit whose answer was lost
// landed.
const wchar_t* FileLandedStatement();

}  // namespace ksr
