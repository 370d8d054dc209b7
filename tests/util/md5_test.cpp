#include <gtest/gtest.h>

#include <windows.h>
#include <winioctl.h>

#include "support/digest.h"
#include "support/temp_dir.h"
#include <thread>

#include "util/handles.h"
#include "util/hex.h"
#include "util/md5.h"

namespace ksr {
namespace {

std::wstring HexOf(const std::string& bytes) {
    return BytesToHex(
        test::Md5OfBytes(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()))
            .value());
}

std::span<const uint8_t> BytesOf(const std::string& text) {
    return std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

// The test suite of RFC 1321, appendix A.5.
const std::pair<const char*, const wchar_t*> kRfc1321[] = {
    {"", L"d41d8cd98f00b204e9800998ecf8427e"},
    {"a", L"0cc175b9c0f1b6a831c399e269772661"},
    {"abc", L"900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", L"f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", L"c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     L"d174ab98d277d9f5a5611c2c9f419d9f"},
    {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
     L"57edf4a22be3c955ac49da2e2107b67a"},
};

TEST(Md5, MatchesTheRfc1321Suite) {
    for (const auto& [text, digest] : kRfc1321) EXPECT_EQ(HexOf(text), digest) << text;
    EXPECT_EQ(HexOf(""), L"d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(HexOf("a"), L"0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(HexOf("abc"), L"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(HexOf("message digest"), L"f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(HexOf("abcdefghijklmnopqrstuvwxyz"), L"c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(HexOf("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              L"d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(HexOf("1234567890123456789012345678901234567890123456789012345678901234567890123456"
                    "7890"),
              L"57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5, PadsCorrectlyAroundBlockEdges) {
    // Lengths where the length field just fits, just misses, or fills a block exactly.
    const std::pair<size_t, const wchar_t*> cases[] = {
        {55, L"ef1772b6dff9a122358552954ad0df65"},  {56, L"3b0c8ac703f828b04c6c197006d17218"},
        {57, L"652b906d60af96844ebd21b674f35e93"},  {63, L"b06521f39153d618550606be297466d5"},
        {64, L"014842d480b571495a4a0363793f7367"},  {65, L"c743a45e0d2e6a95cb859adae0248435"},
        {119, L"8a7bd0732ed6a28ce75f6dabc90e1613"}, {120, L"5f61c0ccad4cac44c75ff505e1f1e537"},
        {128, L"e510683b3f5ffe4093d021808bc6ff70"},
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
    EXPECT_EQ(BytesToHex(hasher.Final().value()), HexOf(data));

    // Every split of a few blocks, so each pending length meets each kind of piece.
    const std::string few = data.substr(0, 200);
    const auto* head = reinterpret_cast<const uint8_t*>(few.data());
    for (size_t split = 0; split <= few.size(); ++split) {
        Md5Hasher parts;
        parts.Update(std::span(head, split));
        parts.Update(std::span(head + split, few.size() - split));
        ASSERT_EQ(BytesToHex(parts.Final().value()), HexOf(few)) << "split at " << split;
    }
}

TEST(Md5, OneHasherServesDigestAfterDigest) {
    // Final starts the next digest afresh: no byte of one digest leaks into the next.
    Md5Hasher hasher;
    for (int round = 0; round < 3; ++round) {
        for (const auto& [text, digest] : kRfc1321) {
            hasher.Update(BytesOf(text));
            EXPECT_EQ(BytesToHex(hasher.Final().value()), digest) << text << ", round " << round;
        }
    }
    EXPECT_EQ(BytesToHex(hasher.Final().value()), kRfc1321[0].second) << "nothing given";
}

TEST(Md5, AHasherLeftUnfinishedLeavesNothingBehind) {
    // Hashers pass their objects on once they are done; one dropped half-way must not hand its
    // bytes to the next.
    for (int i = 0; i < 3; ++i) {
        Md5Hasher dropped;
        dropped.Update(BytesOf("left behind"));
    }
    {
        Md5Hasher finished;
        finished.Update(BytesOf("a"));
        EXPECT_EQ(BytesToHex(finished.Final().value()), kRfc1321[1].second);
    }
    Md5Hasher next;
    next.Update(BytesOf("abc"));
    EXPECT_EQ(BytesToHex(next.Final().value()), kRfc1321[2].second);
}

TEST(Md5, HashersOnSeveralThreadsAtOnce) {
    // The copy threads and the overlapped hasher digest at the same time; a hasher may also be
    // fed on another thread than the one that made it.
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    const std::wstring expected = HexOf(big);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (size_t t = 0; t < wrong.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                Md5Hasher hasher;
                for (size_t at = 0; at < big.size(); at += 4096) {
                    hasher.Update(
                        BytesOf(big).subspan(at, std::min<size_t>(4096, big.size() - at)));
                }
                const Result<Md5Digest> digest = hasher.Final();
                if (!digest || BytesToHex(*digest) != expected) ++wrong[t];
                for (const auto& [text, hex] : kRfc1321) {
                    if (HexOf(text) != hex) ++wrong[t];
                }
            }
        });
    }
    Md5Hasher handed;
    handed.Update(BytesOf("message "));
    std::thread([&] { handed.Update(BytesOf("digest")); }).join();
    EXPECT_EQ(BytesToHex(handed.Final().value()), kRfc1321[3].second);
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(BytesToHex, PadsAndUsesLowerCaseUnlessAskedForUpper) {
    const uint8_t bytes[] = {0x00, 0x0A, 0xFF, 0x10, 0x9B};
    EXPECT_EQ(BytesToHex(bytes), L"000aff109b");
    EXPECT_EQ(BytesToHex(bytes, HexCase::Upper), L"000AFF109B");
    EXPECT_EQ(BytesToHex(std::span<const uint8_t>()), L"");
    std::wstring text = L"%";
    AppendHex(text, 0xC3, HexCase::Upper);
    AppendHex(text, 0x0F);
    EXPECT_EQ(text, L"%C30f");
}

TEST(FileMd5Hex, ReadsFilesOfAnySize) {
    test::TempDir dir;
    test::WriteBytes(dir / L"empty", "");
    test::WriteBytes(dir / L"abc", "abc");
    test::WriteBytes(dir / L"one", std::string(1, '\x01'));
    EXPECT_EQ(test::FileMd5Hex(dir / L"empty").value(), L"") << "an empty file has no digest text";
    EXPECT_EQ(test::FileMd5Hex(dir / L"abc").value(), L"900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(test::FileMd5Hex(dir / L"one").value(), HexOf(std::string(1, '\x01')));
    const Result<std::wstring> missing = test::FileMd5Hex(dir / L"missing");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().win32, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(missing.error().path, dir / L"missing");
    // Several read pieces: 2.5 MiB of a repeating pattern.
    std::string big(2621440, '\0');
    for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i % 251);
    test::WriteBytes(dir / L"big", big);
    EXPECT_EQ(test::FileMd5Hex(dir / L"big").value(), HexOf(big));
}

TEST(FileMd5Hex, LockedFileGivesNoValue) {
    test::TempDir dir;
    test::WriteBytes(dir / L"locked", "secret");
    unique_hfile hold(CreateFileW((dir / L"locked").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(hold);
    const Result<std::wstring> locked = test::FileMd5Hex(dir / L"locked");
    ASSERT_FALSE(locked.ok());
    EXPECT_EQ(locked.error().win32, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
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
    EXPECT_EQ(test::FileMd5Hex(path).value(), L"97cdd4bb45c3d5d652c0079901fb4eec");
}

}  // namespace
}  // namespace ksr
