#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include "support/temp_dir.h"
#include "util/handles.h"
#include "util/md5.h"

namespace ksr {
namespace {

std::wstring HexOf(const std::string& bytes) {
    return BytesToHex(
        Md5OfBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size())));
}

TEST(Md5, MatchesTheRfc1321Suite) {
    EXPECT_EQ(HexOf(""), L"D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(HexOf("a"), L"0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(HexOf("abc"), L"900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(HexOf("message digest"), L"F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(HexOf("abcdefghijklmnopqrstuvwxyz"), L"C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(HexOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              L"D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(HexOf("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                    "7890"),
              L"57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(Md5, PadsCorrectlyAroundBlockEdges) {
    // Lengths where the length field just fits, just misses, or fills a block exactly.
    const std::pair<size_t, const wchar_t*> cases[] = {
        {55, L"EF1772B6DFF9A122358552954AD0DF65"},  {56, L"3B0C8AC703F828B04C6C197006D17218"},
        {57, L"652B906D60AF96844EBD21B674F35E93"},  {63, L"B06521F39153D618550606BE297466D5"},
        {64, L"014842D480B571495A4A0363793F7367"},  {65, L"C743A45E0D2E6A95CB859ADAE0248435"},
        {119, L"8A7BD0732ED6A28CE75F6DABC90E1613"}, {120, L"5F61C0CCAD4CAC44C75FF505E1F1E537"},
        {128, L"E510683B3F5FFE4093D021808BC6FF70"},
    };
    for (const auto& [length, digest] : cases) {
        EXPECT_EQ(HexOf(std::string(length, 'a')), digest) << length << " bytes";
    }
}

TEST(Md5, StreamingEqualsOneShot) {
    std::string data(3 * 1000 + 7, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
    Md5Hasher hasher;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    hasher.Update(std::span(bytes, 1));
    hasher.Update(std::span(bytes + 1, 999));
    hasher.Update(std::span(bytes + 1000, data.size() - 1000));
    EXPECT_EQ(BytesToHex(hasher.Final()), HexOf(data));

    // Every split of a few blocks, so each pending length meets each kind of piece.
    const std::string few = data.substr(0, 200);
    const auto* head = reinterpret_cast<const uint8_t*>(few.data());
    for (size_t split = 0; split <= few.size(); ++split) {
        Md5Hasher parts;
        parts.Update(std::span(head, split));
        parts.Update(std::span(head + split, few.size() - split));
        ASSERT_EQ(BytesToHex(parts.Final()), HexOf(few)) << "split at " << split;
    }
}

TEST(BytesToHex, PadsAndUsesUpperCase) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x10};
    EXPECT_EQ(BytesToHex(bytes), L"000AFF10");
}

TEST(FileMd5Hex, ReadsFilesOfAnySize) {
    test::TempDir dir;
    test::WriteBytes(dir / L"empty", "");
    test::WriteBytes(dir / L"abc", "abc");
    test::WriteBytes(dir / L"one", std::string(1, '\x01'));
    EXPECT_EQ(FileMd5Hex(dir / L"empty"), L"") << "an empty file has no digest text";
    EXPECT_EQ(FileMd5Hex(dir / L"abc"), L"900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(FileMd5Hex(dir / L"one"), HexOf(std::string(1, '\x01')));
    EXPECT_FALSE(FileMd5Hex(dir / L"missing").has_value());
    // Several read pieces: 2.5 MiB of a repeating pattern.
    std::string big(2621440, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    test::WriteBytes(dir / L"big", big);
    EXPECT_EQ(FileMd5Hex(dir / L"big"), HexOf(big));
}

TEST(FileMd5Hex, LockedFileGivesNoValue) {
    test::TempDir dir;
    test::WriteBytes(dir / L"locked", "secret");
    unique_hfile hold(CreateFileW((dir / L"locked").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hold);
    EXPECT_FALSE(FileMd5Hex(dir / L"locked").has_value());
}

TEST(FileMd5Hex, SparseFileBeyondTwoGiB) {
    test::TempDir dir;
    const std::wstring path = dir / L"sparse.bin";
    {
        unique_hfile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file);
        DWORD ignored = 0;
        DeviceIoControl(file.get(), FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &ignored, nullptr);
        LARGE_INTEGER size;
        size.QuadPart = (2LL << 30) + 1;  // 2 GiB of zeros and one byte more
        ASSERT_TRUE(SetFilePointerEx(file.get(), size, nullptr, FILE_BEGIN));
        ASSERT_TRUE(SetEndOfFile(file.get()));
    }
    // The digest of 2147483649 zero bytes, as md5sum gives it.
    EXPECT_EQ(FileMd5Hex(path), L"97CDD4BB45C3D5D652C0079901FB4EEC");
}

}  // namespace
}  // namespace ksr
