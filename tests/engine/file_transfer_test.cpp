#include <gtest/gtest.h>

#include <windows.h>

#include <functional>

#include "engine/file_transfer.h"
#include "engine/source_survey.h"
#include "support/temp_dir.h"
#include "support/digest.h"
#include "support/unix_link.h"
#include "util/paths.h"
#include "util/handles.h"
#include "util/md5.h"

namespace ksr {
namespace {

using test::Md5Lower;

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7919) >> 3);
    return bytes;
}

TEST(CopyFileHashed, CopiesAndHashesFilesOfEverySize) {
    test::TempDir dir;
    for (const size_t size : {size_t{0}, size_t{1}, (size_t{256} << 10) + 1, size_t{1} << 20,
                              (size_t{1} << 20) + 1, (size_t{5} << 20) + 17}) {
        const std::string bytes = Pattern(size);
        const std::wstring name = L"f" + std::to_wstring(size);
        test::WriteBytes(dir / (L"src\\" + name), bytes);
        const CopyResult copy =
            CopyFileHashed(dir / (L"src\\" + name), dir / (L"new/a\\b/" + name));
        ASSERT_TRUE(copy.ok()) << copy.error();
        EXPECT_EQ(copy.bytes, size);
        EXPECT_EQ(copy.md5, size == 0 ? L"" : Md5Lower(bytes)) << size;
        EXPECT_EQ(test::ReadBytes(dir / (L"new\\a\\b\\" + name)), bytes) << size;
    }
    EXPECT_EQ(test::ListNames(dir / L"new\\a\\b").size(), 6u) << "no temporary file is left";
}

// The store only grows: whatever is at the target stays as it is. It stands for the copy only
// when it is a plain file holding exactly the source's bytes.
TEST(CopyFileHashed, NeverReplacesWhatTheStoreHolds) {
    using enum CopyResult::Refusal;
    struct Case {
        const char* what;
        std::function<void(const test::TempDir&, const std::wstring&)> plant;
        CopyResult::Refusal refused;
    };
    const auto file = [](const char* bytes, DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
        return [=](const test::TempDir&, const std::wstring& at) {
            test::WriteBytes(at, bytes);
            SetFileAttributesW(at.c_str(), attributes);
        };
    };
    const Case cases[] = {
        {"the same bytes, read-only", file("the source", FILE_ATTRIBUTE_READONLY), None},
        {"other bytes of the same size", file("the SOURCE"), StoreEntryDiffers},
        {"a shorter file", file("old"), StoreEntryDiffers},
        {"a folder", [](const test::TempDir&, const std::wstring& at) { test::MakeDirs(at); },
         StoreEntryNotAFile},
        {"a link to the same bytes",
         [](const test::TempDir& dir, const std::wstring& at) {
             test::WriteBytes(dir / L"elsewhere.txt", "the source");
             ASSERT_TRUE(test::MakeUnixLink(dir / L"elsewhere.txt", at));
         },
         StoreEntryNotAFile},
    };
    for (const CopyPurpose purpose : {CopyPurpose::Import, CopyPurpose::ImportThenDelete}) {
        for (const Case& c : cases) {
            test::TempDir dir;
            test::WriteBytes(dir / L"src.txt", "the source");
            const std::wstring target = dir / L"store\\dst.txt";
            test::MakeDirs(dir / L"store");
            c.plant(dir, target);
            const std::vector<std::wstring> before = test::ListNames(dir / L"store");
            const std::string held = test::ReadBytes(target);
            CopyResult copy = CopyFileHashed(dir / L"src.txt", target, purpose);
            EXPECT_EQ(copy.refused, c.refused) << c.what;
            EXPECT_EQ(copy.ok(), c.refused == None) << c.what;
            EXPECT_FALSE(copy.created) << c.what;
            if (copy.ok()) {
                EXPECT_EQ(copy.md5, Md5Lower("the source"));
                EXPECT_EQ(static_cast<bool>(copy.source), purpose != CopyPurpose::Import);
                EXPECT_EQ(static_cast<bool>(copy.stored), purpose != CopyPurpose::Import);
            } else {
                EXPECT_EQ(copy.status.error().path, target) << c.what;
            }
            DiscardStoreCopy(copy);
            EXPECT_EQ(test::ListNames(dir / L"store"), before) << c.what;
            EXPECT_EQ(test::ReadBytes(target), held) << c.what;
            EXPECT_EQ(test::ReadBytes(dir / L"src.txt"), "the source");
        }
    }
}

// The opened source must be the listed file, or (a link, copied but never to be deleted)
// another file below the chosen folder; one outside is not read at all.
TEST(CopyFileHashed, CopiesOnlyFromBelowTheChosenFolder) {
    test::TempDir dir, outside;
    test::WriteBytes(dir / L"root\\real.txt", "real");
    test::WriteBytes(outside / L"secret.txt", "secret");
    ASSERT_TRUE(test::MakeUnixLink(dir / L"root\\real.txt", dir / L"root\\inside.txt"));
    ASSERT_TRUE(test::MakeUnixLink(outside / L"secret.txt", dir / L"root\\outside.txt"));
    ASSERT_TRUE(test::MakeUnixLink(dir / L"root\\real.txt", dir / L"root\\hard.txt", true));
    const std::wstring root = ResolveFolder(dir / L"root").value();
    struct Case {
        const wchar_t* name;
        bool copied, link;
    };
    for (const Case& c : {Case{L"real.txt", true, false}, Case{L"hard.txt", true, false},
                          Case{L"inside.txt", true, true}, Case{L"outside.txt", false, false}}) {
        const std::wstring target = dir / (std::wstring(L"store\\") + c.name);
        const CopyResult copy =
            CopyFileHashed(dir / (L"root\\" + std::wstring(c.name)), target,
                           CopyPurpose::ImportThenDelete, {root + L"\\" + c.name, root});
        EXPECT_EQ(copy.ok(), c.copied) << test::Utf8(c.name);
        EXPECT_EQ(copy.link, c.link) << test::Utf8(c.name);
        EXPECT_EQ(static_cast<bool>(copy.source), c.copied && !c.link) << "held to be deleted";
        EXPECT_EQ(test::Exists(target), c.copied) << test::Utf8(c.name);
        if (!c.copied) {
            EXPECT_EQ(copy.refused, CopyResult::Refusal::SourceOutside);
        }
    }
}

TEST(CopyFileHashed, AFailedCopyLeavesTheOldTargetAlone) {
    test::TempDir dir;
    test::WriteBytes(dir / L"src.txt", "unreadable");
    test::WriteBytes(dir / L"dst.txt", "the store's copy");
    unique_hfile lock(CreateFileW((dir / L"src.txt").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    const CopyResult copy = CopyFileHashed(dir / L"src.txt", dir / L"dst.txt");
    EXPECT_FALSE(copy.ok());
    EXPECT_EQ(copy.error(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(copy.bytes, 0u);
    EXPECT_EQ(copy.md5, L"");
    EXPECT_EQ(test::ReadBytes(dir / L"dst.txt"), "the store's copy");
    EXPECT_FALSE(CopyFileHashed(dir / L"missing.txt", dir / L"x.txt").ok());
    EXPECT_FALSE(test::Exists(dir / L"x.txt"));
}

// The error names the file at fault: the source that can't be read, or the store file that
// can't be replaced.
TEST(CopyFileHashed, AFailedCopyNamesTheFileAtFault) {
    test::TempDir dir;
    test::WriteBytes(dir / L"src.txt", "new");
    test::WriteBytes(dir / L"dst.txt", "old");
    {
        unique_hfile lock(CreateFileW((dir / L"src.txt").c_str(), GENERIC_READ, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(lock);
        const CopyResult copy = CopyFileHashed(dir / L"src.txt", dir / L"dst.txt");
        ASSERT_FALSE(copy.ok());
        EXPECT_EQ(copy.status.error().win32, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_EQ(copy.status.error().path, dir / L"src.txt");
    }
    unique_hfile lock(CreateFileW((dir / L"dst.txt").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(lock);
    const CopyResult copy = CopyFileHashed(dir / L"src.txt", dir / L"dst.txt");
    ASSERT_FALSE(copy.ok());
    EXPECT_NE(copy.error(), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(copy.status.error().path, dir / L"dst.txt");
    lock.reset();
    EXPECT_EQ(test::ReadBytes(dir / L"dst.txt"), "old");
    EXPECT_EQ(test::ListNames(dir.path()), (std::vector<std::wstring>{L"dst.txt", L"src.txt"}));
}

TEST(FolderSize, SumsEveryFileBelowTheFolder) {
    test::TempDir dir;
    test::WriteBytes(dir / L"a\\one", std::string(10, 'x'));
    test::WriteBytes(dir / L"a\\b\\two", std::string(20, 'x'));
    test::WriteBytes(dir / L"a\\b\\c\\three", std::string(30, 'x'));
    test::MakeDirs(dir / L"a\\empty");
    EXPECT_EQ(FolderSize(dir / L"a").value(), 60u);
    EXPECT_EQ(FolderSize(dir / L"a\\empty").value(), 0u);
    const Result<uint64_t> absent = FolderSize(dir / L"absent");
    ASSERT_FALSE(absent.ok());
    EXPECT_NE(absent.error().win32, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(absent.error().path, dir / L"absent");
    unique_hfile hold(CreateFileW((dir / L"a\\b\\c").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(hold);
    EXPECT_EQ(FolderSize(dir / L"a").value(), 30u) << "an unlistable sub-folder adds nothing";
}

TEST(FolderSize, WideAndDeepTreesSumExactly) {
    // More folders than listing threads, some nested, some empty, so the threads hand folders
    // to each other and the last one to finish must not be missed.
    test::TempDir dir;
    uint64_t want = 0;
    for (int i = 0; i < 12; ++i) {
        const std::wstring top = L"t\\d" + std::to_wstring(i);
        test::MakeDirs(dir / top);
        for (int j = 0; j < i % 4; ++j) {
            const std::wstring deep = top + L"\\e" + std::to_wstring(j) + L"\\f";
            test::WriteBytes(dir / (deep + L"\\x.bin"), std::string(i * 10 + j + 1, 'x'));
            want += i * 10 + j + 1;
        }
    }
    test::WriteBytes(dir / L"t\\top.bin", std::string(7, 'x'));
    want += 7;
    for (int run = 0; run < 3; ++run) EXPECT_EQ(FolderSize(dir / L"t").value(), want);
}

TEST(DeleteHeldFile, DeletesThroughTheHandleReadOnlyFilesToo) {
    test::TempDir dir;
    test::WriteBytes(dir / L"ro.txt", "x");
    SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    CopyResult copy =
        CopyFileHashed(dir / L"ro.txt", dir / L"store.txt", CopyPurpose::ImportThenDelete);
    ASSERT_TRUE(copy.ok()) << copy.error();
    ASSERT_TRUE(copy.source) << Win32CodeOf(copy.hold);
    EXPECT_TRUE(DeleteHeldFile(copy.source).ok());
    EXPECT_FALSE(copy.source);
    EXPECT_FALSE(test::Exists(dir / L"ro.txt"));

    // A handle without delete access refuses, and the file stays.
    test::WriteBytes(dir / L"plain.txt", "y");
    unique_hfile reader(CreateFileW((dir / L"plain.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                    nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    EXPECT_NE(Win32CodeOf(DeleteHeldFile(reader)), static_cast<DWORD>(ERROR_SUCCESS));
    reader.reset();
    EXPECT_TRUE(test::Exists(dir / L"plain.txt"));
}

// A copy whose source is to be deleted keeps both files from changing until then.
TEST(CopyFileHashed, ForDeletionHoldsTheSourceAndAFlushedVerifiedStoreCopy) {
    test::TempDir dir;
    const std::string bytes = Pattern((size_t{3} << 20) + 5);
    test::WriteBytes(dir / L"src.bin", bytes);
    test::WriteBytes(dir / L"old.bin", bytes);  // what the store holds already stands for a copy
    for (const wchar_t* target : {L"new.bin", L"old.bin"}) {
        CopyResult copy =
            CopyFileHashed(dir / L"src.bin", dir / target, CopyPurpose::ImportThenDelete);
        ASSERT_TRUE(copy.ok()) << copy.error();
        EXPECT_EQ(copy.md5, Md5Lower(bytes));
        ASSERT_TRUE(copy.source) << Win32CodeOf(copy.hold);
        ASSERT_TRUE(copy.stored);
        // Nobody may write to the source or the store copy while they are held...
        for (const std::wstring& path : {dir / L"src.bin", dir / target}) {
            unique_hfile writer(CreateFileW(path.c_str(), GENERIC_WRITE,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
            EXPECT_FALSE(writer) << test::Utf8(path);
        }
        // ...nor move the source away.
        EXPECT_FALSE(MoveFileW((dir / L"src.bin").c_str(), (dir / L"moved.bin").c_str()));
        EXPECT_EQ(test::ReadBytes(dir / target), bytes);
        // Given up, only the copy this run made goes.
        DiscardStoreCopy(copy);
    }
    EXPECT_TRUE(test::Exists(dir / L"src.bin"));
    EXPECT_EQ(test::ListNames(dir.path()), (std::vector<std::wstring>{L"old.bin", L"src.bin"}));
}

// A source that another program keeps open without sharing deletion is still copied; only
// its deletion is ruled out (Windows refuses to hold it, Wine to delete it).
TEST(CopyFileHashed, ASourceOthersKeepOpenIsCopiedButNotDeleted) {
    test::TempDir dir;
    test::WriteBytes(dir / L"src.txt", "busy");
    unique_hfile other(CreateFileW((dir / L"src.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    CopyResult copy =
        CopyFileHashed(dir / L"src.txt", dir / L"dst.txt", CopyPurpose::ImportThenDelete);
    ASSERT_TRUE(copy.ok()) << copy.error();
    EXPECT_EQ(test::ReadBytes(dir / L"dst.txt"), "busy");
    if (copy.source) {
        EXPECT_NE(Win32CodeOf(DeleteHeldFile(copy.source)), static_cast<DWORD>(ERROR_SUCCESS));
    } else {
        EXPECT_EQ(Win32CodeOf(copy.hold), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    copy.source.reset();
    other.reset();
    EXPECT_EQ(test::ReadBytes(dir / L"src.txt"), "busy");
}

// A new store file has no name in the store until it is settled, and goes again only through
// the handle its copy still holds: let go of, another copy may have taken it as its own since.
TEST(CopyFileHashed, ANewStoreFileIsNamedOnceSettledAndRemovedOnlyWhileHeld) {
    for (const bool held : {true, false}) {
        SCOPED_TRACE(held ? "held" : "let go");
        test::TempDir dir;
        test::WriteBytes(dir / L"src.txt", "the only copy");
        test::MakeDirs(dir / L"partial");
        const std::wstring target = dir / L"store\\a\\dst.txt";
        CopyResult copy =
            CopyFileHashed(dir / L"src.txt", target, CopyPurpose::Import, {}, dir / L"partial");
        ASSERT_TRUE(copy.ok()) << copy.error();
        ASSERT_TRUE(copy.stored && copy.created && copy.verifyPending);
        EXPECT_FALSE(test::Exists(target)) << "named before it is on disk";
        ASSERT_TRUE(
            SettleStoreCopy(copy.stored.get(), copy.bytes, copy.md5, false, copy.partial, target)
                .ok());
        EXPECT_EQ(test::ReadBytes(target), "the only copy");
        EXPECT_EQ(test::ListNames(dir / L"partial"), std::vector<std::wstring>{});
        if (!held) {
            copy.stored.reset();
            const CopyResult other = CopyFileHashed(dir / L"src.txt", target);
            ASSERT_TRUE(other.ok() && !other.created) << "the second copy takes the file";
        }
        EXPECT_EQ(DiscardStoreCopy(copy), held);
        EXPECT_EQ(test::Exists(target), !held);
        EXPECT_EQ(test::ReadBytes(dir / L"src.txt"), "the only copy");
    }
}

}  // namespace
}  // namespace ksr
