// The two helpers that take a deleting run's slow steps off the thread writing rows: store
// copies flushed and read back many at once, and sources deleted a batch at a time.
#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <future>

#include "engine/file_transfer.h"
#include "engine/source_deleter.h"
#include "engine/store_verifier.h"
#include "support/digest.h"
#include "support/temp_dir.h"
#include "support/unix_link.h"
#include "util/paths.h"
#include "util/handles.h"

// A store copy that reads back otherwise than it was written; older SDK headers lack it.
#ifndef ERROR_DATA_CHECKSUM_ERROR
#define ERROR_DATA_CHECKSUM_ERROR 323L
#endif

namespace ksr {
namespace {

using test::Md5Lower;

unique_hfile Open(const std::wstring& path, DWORD access, DWORD share = FILE_SHARE_READ) {
    return unique_hfile(
        CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr));
}

// A copy made for deletion whose verification is left for later.
CopyResult CopyToVerifyLater(test::TempDir& dir, const std::wstring& name,
                             const std::string& bytes) {
    test::WriteBytes(dir / (L"src\\" + name), bytes);
    CopyResult copy = CopyFileHashed(dir / (L"src\\" + name), dir / (L"store\\" + name),
                                     CopyPurpose::ImportThenDeleteVerifyLater);
    EXPECT_TRUE(copy.ok()) << copy.error();
    EXPECT_TRUE(copy.verifyPending);
    EXPECT_TRUE(copy.stored);
    return copy;
}

// A copy made for deletion over the store file "old" at store\\a.txt.
TEST(StoreVerifier, PassesExactCopiesAndFailsAnyOtherAndGivesEveryHandleBack) {
    test::TempDir dir;
    StoreVerifier verifier(3);
    std::vector<CopyResult> copies;
    std::vector<std::shared_ptr<StoreVerifier::Ticket>> tickets;
    for (int i = 0; i < 12; ++i) {
        const std::string bytes(size_t{1000} * (i + 1) + (i == 11 ? (size_t{3} << 20) : 0),
                                'a' + i);
        copies.push_back(CopyToVerifyLater(dir, L"f" + std::to_wstring(i), bytes));
        CopyResult& copy = copies.back();
        // The fourth claims other bytes, the fifth another length.
        const std::wstring md5 = i == 3 ? Md5Lower("other") : copy.md5;
        const uint64_t size = i == 4 ? copy.bytes + 1 : copy.bytes;
        tickets.push_back(verifier.Post(std::move(copy.stored), size, md5));
    }
    // A handle that cannot write cannot be flushed.
    test::WriteBytes(dir / L"readonly.bin", "r");
    tickets.push_back(verifier.Post(Open(dir / L"readonly.bin", GENERIC_READ), 1, Md5Lower("r")));

    for (size_t i = 0; i < tickets.size(); ++i) {
        verifier.Wait(*tickets[i]);
        EXPECT_TRUE(tickets[i]->done);
        EXPECT_TRUE(tickets[i]->file) << i;
        if (i == 3 || i == 4) {
            EXPECT_EQ(Win32CodeOf(tickets[i]->status),
                      static_cast<DWORD>(ERROR_DATA_CHECKSUM_ERROR))
                << i;
        } else if (i == 12) {
            EXPECT_NE(Win32CodeOf(tickets[i]->status), static_cast<DWORD>(ERROR_SUCCESS));
        } else {
            EXPECT_EQ(Win32CodeOf(tickets[i]->status), static_cast<DWORD>(ERROR_SUCCESS)) << i;
        }
    }
}

TEST(StoreVerifier, WithoutThreadsVerifiesInPlace) {
    test::TempDir dir;
    StoreVerifier verifier(0);
    CopyResult copy = CopyToVerifyLater(dir, L"a.txt", "abc");
    auto ticket = verifier.Post(std::move(copy.stored), copy.bytes, copy.md5);
    EXPECT_TRUE(ticket->done);
    verifier.Wait(*ticket);
    EXPECT_TRUE(ticket->status.ok());
}

// A copy that fails verification is no copy: it leaves the store and its source stays.
TEST(StoreVerifier, ACopyThatFailsIsDiscardedAndItsSourceKept) {
    test::TempDir dir;
    CopyResult copy = CopyToVerifyLater(dir, L"a.txt", "the only copy");
    EXPECT_EQ(Win32CodeOf(VerifyStoreCopy(copy.stored.get(), copy.bytes, Md5Lower("not it"))),
              static_cast<DWORD>(ERROR_DATA_CHECKSUM_ERROR));
    DiscardStoreCopy(copy);
    EXPECT_FALSE(copy.source);
    EXPECT_FALSE(copy.stored);
    EXPECT_FALSE(test::Exists(dir / L"store\\a.txt"));
    EXPECT_EQ(test::ReadBytes(dir / L"src\\a.txt"), "the only copy");
}

// A held source is deleted only while it is still the listed file: a handle opened through a
// link holds the link's target, and deleting through it would delete that.
TEST(SourceDeleter, DeletesOnlyASourceThatIsStillTheListedFile) {
    test::TempDir dir;
    test::WriteBytes(dir / L"target.txt", "target");
    test::WriteBytes(dir / L"plain.txt", "plain");
    ASSERT_TRUE(test::MakeUnixLink(dir / L"target.txt", dir / L"link.txt"));
    const std::wstring root = ResolveFolder(dir.path()).value();
    std::vector<SourceDeleter::Item> items;
    for (const wchar_t* name : {L"link.txt", L"plain.txt"}) {
        unique_hfile held(CreateFileW((dir / name).c_str(), DELETE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(held);
        items.push_back({std::move(held), {}, {}, root + L"\\" + name, root});
    }
    SourceDeleter deleter(0);
    deleter.Start(std::move(items));
    const std::vector<SourceDeleter::Item> done = deleter.Take();
    EXPECT_EQ(Win32CodeOf(done[0].status), static_cast<DWORD>(ERROR_REPARSE_POINT_ENCOUNTERED));
    EXPECT_EQ(test::ReadBytes(dir / L"target.txt"), "target");
    EXPECT_TRUE(done[1].status.ok());
    EXPECT_FALSE(test::Exists(dir / L"plain.txt"));
}

// Batches queue behind each other and come back in the order handed over, whether deleted on
// several threads or, without any, in place; an empty batch waits its turn like any other.
TEST(SourceDeleter, DeletesQueuedBatchesAndGivesThemBackInOrderSayingWhichStay) {
    for (const unsigned threads : {SourceDeleter::kThreads, 0u}) {
        test::TempDir dir;
        SourceDeleter deleter(threads);
        EXPECT_TRUE(deleter.Done()) << "nothing handed over";
        const int kBatches = 3;
        const int kSizes[kBatches] = {40, 0, 5};
        for (int round = 0; round < kBatches; ++round) {
            std::vector<SourceDeleter::Item> items;
            for (int i = 0; i < kSizes[round]; ++i) {
                CopyResult copy = CopyToVerifyLater(
                    dir, L"r" + std::to_wstring(round) + L"f" + std::to_wstring(i),
                    std::string(10 + i, 'x'));
                ASSERT_TRUE(copy.source) << Win32CodeOf(copy.hold);
                items.push_back({std::move(copy.source), std::move(copy.stored), {}, {}, {}});
            }
            if (!items.empty()) {
                // Held without delete access, the third source refuses.
                const std::wstring stays = dir / (L"src\\r" + std::to_wstring(round) + L"f2");
                items[2].source = Open(stays, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE);
            }
            deleter.Start(std::move(items));
        }
        for (int round = 0; round < kBatches; ++round) {
            const std::vector<SourceDeleter::Item> done = deleter.Take();
            ASSERT_EQ(done.size(), static_cast<size_t>(kSizes[round])) << round;
            for (int i = 0; i < kSizes[round]; ++i) {
                const std::wstring name = L"r" + std::to_wstring(round) + L"f" + std::to_wstring(i);
                EXPECT_FALSE(done[i].source) << i;
                EXPECT_FALSE(done[i].stored) << "the store copy is let go once the source is";
                EXPECT_EQ(test::Exists(dir / (L"src\\" + name)), i == 2) << i;
                EXPECT_EQ(!done[i].status.ok(), i == 2) << i;
                // Let go: the store copy can be written again.
                EXPECT_TRUE(Open(dir / (L"store\\" + name), GENERIC_WRITE)) << i;
            }
        }
        EXPECT_TRUE(deleter.Done());
        EXPECT_TRUE(deleter.Take().empty()) << "nothing left to give back";
    }
}

// Threads that sleep while a batch and then an empty one are handed over still wake for the
// first: the batch is not left undeleted with the run waiting for it.
TEST(SourceDeleter, ABatchFollowedAtOnceByAnEmptyOneIsStillDeleted) {
    test::TempDir dir;
    SourceDeleter deleter;
    // An item with no handles: its deletion fails at once.
    const auto dummy = [] { return std::vector<SourceDeleter::Item>(1); };
    // Starts the threads, then lets them fall asleep.
    deleter.Start(dummy());
    (void)deleter.Take();
    for (int round = 0; round < 20; ++round) {
        std::vector<SourceDeleter::Item> items;
        for (int i = 0; i < 3; ++i) {
            CopyResult copy = CopyToVerifyLater(
                dir, L"r" + std::to_wstring(round) + L"f" + std::to_wstring(i), "bytes");
            items.push_back({std::move(copy.source), std::move(copy.stored), {}, {}, {}});
        }
        Sleep(5);
        deleter.Start(std::move(items));
        deleter.Start({});
        auto taken = std::async(std::launch::async, [&] { return deleter.Take().size(); });
        if (taken.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
            ADD_FAILURE() << "round " << round << ": the batch was never deleted";
            deleter.Start(dummy());  // wakes the threads, so the test can end
            (void)taken.get();
            (void)deleter.Take();
            (void)deleter.Take();
            return;
        }
        EXPECT_EQ(taken.get(), 3u);
        EXPECT_TRUE(deleter.Take().empty());
        for (int i = 0; i < 3; ++i) {
            EXPECT_FALSE(test::Exists(
                dir / (L"src\\r" + std::to_wstring(round) + L"f" + std::to_wstring(i))));
        }
    }
}

}  // namespace
}  // namespace ksr
