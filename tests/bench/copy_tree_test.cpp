#include <gtest/gtest.h>

#include <windows.h>

#include <iterator>
#include <string>

#include "bench/copy_tree.h"
#include "support/temp_dir.h"
#include "util/handles.h"

namespace ksr {
namespace {

std::string Pattern(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919 + seed) >> 3);
    return bytes;
}

struct SourceFile {
    std::wstring path;
    size_t size;
};

// Sizes around the copy buffer (256 KiB) and an empty file, in nested folders with Chinese names.
const SourceFile kFiles[] = {
    {L"empty.txt", 0},
    {L"one.txt", 1},
    {L"合同\\buffer.bin", size_t{256} << 10},
    {L"合同\\资料\\over.bin", (size_t{256} << 10) + 17},
    {L"合同\\资料\\deep\\small.txt", 4099},
    {L"plan\\small.txt", 12},
};

uint64_t WriteTree(const test::TempDir& dir) {
    uint64_t bytes = 0;
    unsigned seed = 0;
    for (const SourceFile& file : kFiles) {
        test::WriteBytes(dir / (L"src\\" + file.path), Pattern(file.size, ++seed));
        bytes += file.size;
    }
    test::MakeDirs(dir / L"src\\empty folder");
    return bytes;
}

TEST(CopyTree, CopiesEveryFileAndFolderOnOneOrManyThreads) {
    test::TempDir dir;
    const uint64_t bytes = WriteTree(dir);
    for (const int threads : {1, 4}) {
        const std::wstring target = L"out" + std::to_wstring(threads);
        const bench::CopyTally tally = bench::CopyTree(dir / L"src", dir / target, threads);
        EXPECT_EQ(tally.files, std::size(kFiles)) << threads;
        EXPECT_EQ(tally.bytes, bytes) << threads;
        EXPECT_EQ(tally.failed, 0u) << threads;
        for (const SourceFile& file : kFiles) {
            EXPECT_EQ(test::ReadBytes(dir / (target + L"\\" + file.path)),
                      test::ReadBytes(dir / (L"src\\" + file.path)))
                << test::Utf8(file.path) << " on " << threads << " threads";
        }
        EXPECT_TRUE(test::Exists(dir / (target + L"\\empty folder")));
        EXPECT_FALSE(test::Exists(dir / (target + L".partial"))) << "no temporary file is left";
    }
}

TEST(CopyTree, CountsWhatItCannotCopyAndCopiesTheRest) {
    test::TempDir dir;
    const uint64_t bytes = WriteTree(dir);
    // Held open with no sharing: the copy cannot open it.
    unique_hfile held(CreateFileW((dir / L"src\\one.txt").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(held);
    const bench::CopyTally tally = bench::CopyTree(dir / L"src", dir / L"out", 2);
    EXPECT_EQ(tally.failed, 1u);
    EXPECT_EQ(tally.files, std::size(kFiles) - 1);
    EXPECT_EQ(tally.bytes, bytes - 1);

    const bench::CopyTally missing = bench::CopyTree(dir / L"no such folder", dir / L"out2", 2);
    EXPECT_EQ(missing.files, 0u);
    EXPECT_EQ(missing.failed, 1u) << "a source that cannot be listed is a failure";
}

TEST(CopyTree, MovingDeletesTheSourcesAndLeavesOneItCannotHoldForDeletion) {
    test::TempDir dir;
    const uint64_t bytes = WriteTree(dir);
    const std::wstring heldPath = L"plan\\small.txt";
    std::string kept;
    {
        // Others read it and keep it from being deleted: it is not moved at all.
        unique_hfile reader(CreateFileW((dir / (L"src\\" + heldPath)).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader);
        kept = test::ReadBytes(dir / (L"src\\" + heldPath));
        const bench::CopyTally tally = bench::CopyTree(dir / L"src", dir / L"out", 2, true);
        EXPECT_EQ(tally.failed, 1u);
        EXPECT_EQ(tally.files, std::size(kFiles) - 1);
        EXPECT_EQ(tally.bytes, bytes - kept.size());
    }
    EXPECT_EQ(test::ReadBytes(dir / (L"src\\" + heldPath)), kept);
    unsigned seed = 0;
    for (const SourceFile& file : kFiles) {
        ++seed;
        if (file.path == heldPath) continue;
        EXPECT_EQ(test::ReadBytes(dir / (L"out\\" + file.path)), Pattern(file.size, seed))
            << test::Utf8(file.path);
        EXPECT_FALSE(test::Exists(dir / (L"src\\" + file.path))) << test::Utf8(file.path);
    }
}

}  // namespace
}  // namespace ksr
