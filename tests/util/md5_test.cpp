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

TEST(Md5, StreamingEqualsOneShot) {
    std::string data(3 * 1000 + 7, 'x');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 31);
    Md5Hasher hasher;
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    hasher.Update(std::span(bytes, 1));
    hasher.Update(std::span(bytes + 1, 999));
    hasher.Update(std::span(bytes + 1000, data.size() - 1000));
    EXPECT_EQ(BytesToHex(hasher.Final()), HexOf(data));
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
