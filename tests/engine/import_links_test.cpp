// Trees as real disks hold them: links to files and folders, hard links, files that go while
// the run is under way, and folders deeper than a recursive walk's stack. With deletion on, a
// source is gone only when the store holds its bytes under its own name and its own rows; every
// source that stays is reported.
#include <windows.h>

#include <map>
#include <memory>

#include "engine/log_texts.h"
#include "import_test_support.h"
#include "support/digest.h"
#include "support/unix_link.h"
#include "util/dir_listing.h"
#include "util/handles.h"

namespace ksr {
namespace {

using test::ListingFault;
using test::Md5Lower;

bool Listed(const std::wstring& path) {
    WIN32_FIND_DATAW entry;
    return static_cast<bool>(unique_hfind(FindFirstFileW(ToExtendedPath(path).c_str(), &entry)));
}

class ImportLinksTest : public test::ImportTest {
  protected:
    static DWORD WINAPI RunDeep(void* self) {
        auto* test = static_cast<ImportLinksTest*>(self);
        test->Run(test->Src(L"deep"));
        return 0;
    }
    bool Reported(const std::wstring& path, const std::wstring& reason = {}) const {
        for (const auto& failure : importer_.Failures()) {
            if (failure.path == path && (reason.empty() || failure.reason == reason)) return true;
        }
        return false;
    }
    // `sources`, by path below the chosen folder `root`, with the bytes each had before the run.
    void ExpectNothingLost(const std::wstring& root,
                           const std::map<std::wstring, std::string>& sources) {
        for (const auto& [relative, bytes] : sources) {
            const std::wstring path = root + L"\\" + relative;
            if (Listed(path)) {
                EXPECT_TRUE(Reported(path)) << "kept but not reported: " << test::Utf8(relative);
                continue;
            }
            const std::wstring filPath = L"DownLoad/Public/" + ReplaceAll(relative, L'\\', L'/');
            EXPECT_EQ(test::ReadBytes(StoreFile(filPath)), bytes) << test::Utf8(relative);
            EXPECT_EQ(Rows(L"select MD5Hash from MD5File where FilPath='" + filPath + L"'").size(),
                      1u)
                << test::Utf8(relative);
        }
    }
};

TEST_F(ImportLinksTest, NoLinkIsFollowedOutOrDeletedThrough) {
    test::TempDir outside;
    test::WriteBytes(outside / L"secret.txt", "admin only");
    test::WriteBytes(outside / L"dir\\inner.txt", "admin only too");
    const std::wstring root = Src(L"doc");
    test::WriteBytes(root + L"\\gcc-base\\README.Bugs", "the bugs");
    test::WriteBytes(root + L"\\real\\a.txt", "a");
    test::WriteBytes(root + L"\\real\\b.txt", "b");
    test::WriteBytes(root + L"\\swapped\\s.txt", "s");
    test::MakeDirs(root + L"\\cpp");
    // A file link through a folder link, as a copied documentation tree holds them.
    ASSERT_TRUE(test::MakeUnixLink(L"gcc-base", root + L"\\gcc"));
    ASSERT_TRUE(test::MakeUnixLink(L"../gcc/README.Bugs", root + L"\\cpp\\README.Bugs"));
    ASSERT_TRUE(test::MakeUnixLink(root + L"\\real\\a.txt", root + L"\\a-link.txt"));
    ASSERT_TRUE(test::MakeUnixLink(outside / L"secret.txt", root + L"\\out-link.txt"));
    ASSERT_TRUE(test::MakeUnixLink(outside / L"dir", root + L"\\out-dir"));
    ASSERT_TRUE(test::MakeUnixLink(root + L"\\real\\b.txt", root + L"\\b-hard.txt", true));
    test::WriteBytes(root + L"\\real\\gone.txt", "gone before its folder is walked");
    // Once the walk has listed the chosen folder: a listed file goes, and a listed folder
    // becomes a link before the walk enters it.
    int rootListings = 0;
    ListingFault fault([&](const std::wstring& directory, size_t delivered) -> DWORD {
        if (!directory.ends_with(L"\\doc\\")) return ERROR_SUCCESS;
        if (delivered == 0) ++rootListings;
        if (rootListings == 2 && delivered == test::ListNames(root).size()) {
            DeleteFileW((root + L"\\real\\gone.txt").c_str());
            MoveFileW((root + L"\\swapped").c_str(), (root + L"\\swapped-real").c_str());
            test::MakeUnixLink(outside / L"dir", root + L"\\swapped");
        }
        return ERROR_SUCCESS;
    });
    Run(root, false, true);

    EXPECT_EQ(test::ReadBytes(outside / L"secret.txt"), "admin only");
    EXPECT_EQ(test::ReadBytes(outside / L"dir\\inner.txt"), "admin only too");
    EXPECT_TRUE(Reported(root + L"\\out-link.txt", reason::kLinkOutside));
    EXPECT_TRUE(Reported(root + L"\\swapped\\", reason::kDirectoryLink));
    EXPECT_TRUE(Reported(root + L"\\real\\gone.txt", reason::kFileGone));
    EXPECT_FALSE(test::Exists(StoreFile(L"DownLoad/Public/out-link.txt")));
    EXPECT_FALSE(test::Exists(StoreFile(L"DownLoad/Public/swapped/inner.txt")));
    ExpectNothingLost(root, {{L"gcc-base\\README.Bugs", "the bugs"},
                             {L"cpp\\README.Bugs", "the bugs"},
                             {L"real\\a.txt", "a"},
                             {L"real\\b.txt", "b"},
                             {L"a-link.txt", "a"},
                             {L"b-hard.txt", "b"},
                             {L"out-link.txt", "admin only"}});
}

// The tool runs elevated: a link planted in the store, its log or the holding directory must not
// take its writes anywhere else.
TEST_F(ImportLinksTest, NothingIsWrittenThroughALinkInTheStoreTheLogOrTheHoldingDirectory) {
    test::TempDir outside;
    const std::wstring root = Src(L"Team");
    test::WriteBytes(root + L"\\ok.txt", "ok");
    test::WriteBytes(root + L"\\Sub\\a.txt", "a");
    test::WriteBytes(root + L"\\Locked\\b.txt", "b");
    test::MakeDirs(server_.store + L"\\DownLoad\\Public");
    test::RemoveTree(L"D:\\KSRtemp");
    ASSERT_TRUE(test::MakeUnixLink(outside.path(), server_.store + L"\\DownLoad\\Public\\Sub"));
    ASSERT_TRUE(test::MakeUnixLink(outside.path(), server_.store + L"\\log"));
    ASSERT_TRUE(test::MakeUnixLink(outside.path(), L"D:\\KSRtemp"));
    // Gone before what it points to, so later tests find no holding directory of ours.
    const std::unique_ptr<const wchar_t, void (*)(const wchar_t*)> unlink(
        L"D:\\KSRtemp", [](const wchar_t* link) { test::RemoveUnixLink(link); });
    unique_hfile locked(CreateFileW((root + L"\\Locked").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    ASSERT_TRUE(locked);
    Run(root);
    locked.reset();

    EXPECT_EQ(test::ListNames(outside.path()), std::vector<std::wstring>{}) << "nothing written";
    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/ok.txt")), "ok");
    const auto reason = [](const std::wstring& level) {
        return std::wstring(reason::kLinkInTheWay) + level;
    };
    EXPECT_TRUE(Reported(root + L"\\Sub\\", reason(server_.store + L"\\DownLoad\\Public\\Sub")));
    EXPECT_TRUE(Reported(root + L"\\Locked\\", reason(L"d:\\KSRtemp")));
    EXPECT_NE(window_.boxes.back().text.find(msg::kLogNotWritten), std::wstring::npos);

    // A link where the chosen folder itself would go: nothing of the run is written.
    ASSERT_TRUE(test::MakeUnixLink(outside.path(), server_.store + L"\\DownLoad\\Public\\Team"));
    Run(root, true);
    EXPECT_EQ(test::ListNames(outside.path()), std::vector<std::wstring>{});
    EXPECT_TRUE(Reported(root + L"\\", reason(server_.store + L"\\DownLoad\\Public\\Team")));
    EXPECT_EQ(Rows(L"select count(*) from PtpFolder where UsName='Team'")[0][0], L"0")
        << "the root folder was not registered";
}

// A tree deeper than a walk that recursed once per level could go on a small stack.
TEST_F(ImportLinksTest, ADeepTreeNeedsNoStackPerLevel) {
    // Deep enough that a recursive walk overflows this stack; deeper, the bottom file's path
    // would outgrow its row's column.
    constexpr int kDepth = 600;
    const std::wstring root = Src(L"deep");
    std::wstring path = root;
    for (int i = 0; i < kDepth; ++i) path += L"\\d";
    test::WriteBytes(path + L"\\bottom.txt", "bottom");
    // Explorer marks customised folders as system ones: they are walked; system files are not.
    SetFileAttributesW((root + L"\\d").c_str(), FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
    test::WriteBytes(root + L"\\desktop.ini", "[.ShellClassInfo]");
    SetFileAttributesW((root + L"\\desktop.ini").c_str(), FILE_ATTRIBUTE_SYSTEM);
    unique_handle thread(CreateThread(nullptr, 256 << 10, RunDeep, this,
                                      STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
    ASSERT_TRUE(thread);
    WaitForSingleObject(thread.get(), INFINITE);
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeThread(thread.get(), &code) && code == 0);

    EXPECT_EQ(EndMessage(), msg::kSucceeded) << "a skipped system file is no failure";
    EXPECT_EQ(Rows(L"select count(*) from PtpFolder")[0][0], std::to_wstring(kDepth));
    std::wstring filPath = L"DownLoad/Public";
    for (int i = 0; i < kDepth; ++i) filPath += L"/d";
    EXPECT_EQ(test::ReadBytes(StoreFile(filPath + L"/bottom.txt")), "bottom");
    EXPECT_FALSE(test::Exists(StoreFile(L"DownLoad/Public/desktop.ini")));
    EXPECT_TRUE(importer_.Failures().empty());
    const std::string report = test::ReadBytes(importer_.ReportPath());
    EXPECT_NE(report.find(test::Utf8(root + L"\\desktop.ini")), std::string::npos);
    EXPECT_NE(report.find(test::Utf8(logtext::kKindSkipped)), std::string::npos);
}

}  // namespace
}  // namespace ksr
