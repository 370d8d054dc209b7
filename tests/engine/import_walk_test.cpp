#include <windows.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "app/message_texts.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "import_test_support.h"
#include "support/digest.h"
#include "support/unix_link.h"
#include "util/handles.h"
#include "util/md5.h"

namespace ksr {
namespace {

using test::Row;

using test::Md5Lower;

// What the import should produce, derived from the tree as the file system lists it: rows in
// depth-first, listing order, files and folders of one folder before anything below it.
struct Expected {
    struct File {
        std::wstring source, filPath, typePath, parentPath;
        std::string content;
    };
    struct Folder {
        std::wstring path, usName, parentPath;
    };
    std::vector<File> files;
    std::vector<Folder> folders;

    void Walk(const std::wstring& dir, const std::wstring& filDir, const std::wstring& parentPath) {
        std::vector<std::pair<std::wstring, std::wstring>> subfolders;
        WIN32_FIND_DATAW e;
        unique_hfind find(FindFirstFileW(ToExtendedPath(dir + L"\\*").c_str(), &e));
        if (!find) return;
        do {
            const std::wstring name = e.cFileName;
            // System folders are walked; system files stay out.
            if (name == L"." || name == L".." ||
                (e.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM &&
                 !(e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)))
                continue;
            if (e.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                folders.push_back({dir + L"\\" + name, CleanFolderName(name), parentPath});
                subfolders.push_back({name, CleanFolderName(name)});
            } else {
                const std::wstring clean = CleanFileName(name);
                files.push_back({dir + L"\\" + name, filDir + L"/" + clean, clean, parentPath,
                                 test::ReadBytes(dir + L"\\" + name)});
            }
        } while (FindNextFileW(find.get(), &e));
        for (const auto& [name, clean] : subfolders) {
            Walk(dir + L"\\" + name, filDir + L"/" + clean, dir + L"\\" + name);
        }
    }
};

// The walk below checks rows against these; here they are checked against the rules.
TEST(StoreNames, FoldersLoseAmpersandsQuotesAndPercentSigns) {
    EXPECT_EQ(CleanFolderName(L"R&D's 100%"), L"R D s 100 ");
    EXPECT_EQ(CleanFolderName(L"50%41"), L"50 41");
    EXPECT_EQ(CleanFolderName(L"x+y 中文\u00A0"), L"x+y 中文\u00A0") << "nothing else changes";
}

TEST(StoreNames, FilesLoseNoBreakSpacesAndTheirMisreadLeftovers) {
    EXPECT_EQ(CleanFileName(L"a\u00A0b.txt"), L"a b.txt");
    EXPECT_EQ(CleanFileName(L"a\u00C2\u00A0b.txt"), L"a  b.txt");
    EXPECT_EQ(CleanFileName(L"R&D's 100%.txt"), L"R&D's 100%.txt") << "files keep & ' %";
}

class ImportWalkTest : public test::ImportTest {
  protected:
    // The activity lines without their address, time and user prefix.
    std::vector<std::wstring> LineTexts() const {
        std::vector<std::wstring> texts;
        for (const std::wstring& line : window_.list1) texts.push_back(line.substr(45));
        return texts;
    }

    // A tree with everything an operator's documents may hold.
    void MakeMixedTree(const std::wstring& root) {
        test::WriteBytes(root + L"\\a.txt", "alpha");
        test::WriteBytes(root + L"\\中文报告.txt", "中文内容");
        test::WriteBytes(root + L"\\it's.txt", "quote");
        test::WriteBytes(root + L"\\a\u00A0b.txt", "nbsp");
        test::WriteBytes(root + L"\\empty.txt", "");
        test::WriteBytes(root + L"\\hidden.txt", "hidden");
        SetFileAttributesW((root + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
        test::WriteBytes(root + L"\\readonly.txt", "readonly");
        SetFileAttributesW((root + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        test::WriteBytes(root + L"\\system.txt", "system");
        SetFileAttributesW((root + L"\\system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM);
        test::WriteBytes(root + L"\\sysdir\\inside.txt", "customised folder");
        SetFileAttributesW((root + L"\\sysdir").c_str(),
                           FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY);
        test::WriteBytes(root + L"\\A&B'C%D\\inner.txt", "inner");
        test::WriteBytes(root + L"\\x+y\\plus.txt", "plus");
        test::WriteBytes(root + L"\\50%41\\pct.txt", "percent");
        test::WriteBytes(root + L"\\子目录\\note.txt", "note");
        test::WriteBytes(root + L"\\子目录\\深层\\deep.txt", "deep");
        test::MakeDirs(root + L"\\空目录");
        test::WriteBytes(root + L"\\emoji \U0001F600\\e.txt", "emoji");
    }

    // Checks every row and store file against what the tree calls for. `topParent` is the
    // parent id of the tree's top, `topDir` its store-relative directory.
    void CheckImported(const std::wstring& root, const std::wstring& topDir,
                       const std::wstring& topParent) {
        Expected expected;
        expected.Walk(root, topDir, root);

        const auto folders = Rows(
            L"select PtpFolderID, MyID, UsName, ParentID, To_Type, CreatorID, CreatorName from "
            L"PtpFolder where ParentID <> '0' or UsName <> '" +
            (topParent == L"0" ? std::wstring(L"\x01")
                               : CleanFolderName(LastPathSegment(root).value())) +
            L"' order by PtpFolderID");
        ASSERT_EQ(folders.size(), expected.folders.size());
        std::map<std::wstring, std::wstring> idOf{{root, topParent}};
        for (size_t i = 0; i < folders.size(); ++i) {
            const auto& want = expected.folders[i];
            idOf[want.path] = *folders[i][0];
            EXPECT_EQ(folders[i], (Row{folders[i][0], L"Public", want.usName, idOf[want.parentPath],
                                       L"1", L"1", L"admin"}))
                << "folder " << i << " " << test::Utf8(want.path);
        }

        const auto files = Rows(
            L"select Msg_ID, MyID, UsName, TypePath, PcSize, PtpFolderID, FilPath, To_Type, "
            L"FileState, CreatorID, CreatorName from PtpFile order by PtpFileID");
        const auto digests = Rows(
            L"select MyID, FormFileType, TypePath, PcSize, FilPath, MD5Hash from MD5File order by "
            L"MD5FileID");
        ASSERT_EQ(files.size(), expected.files.size());
        ASSERT_EQ(digests.size(), expected.files.size());
        std::vector<std::wstring> guids;
        for (size_t i = 0; i < files.size(); ++i) {
            const auto& want = expected.files[i];
            const std::wstring size = std::to_wstring(want.content.size());
            const std::wstring& guid = *files[i][0];
            EXPECT_EQ(guid.size(), 32u);
            EXPECT_EQ(guid.find_first_not_of(L"0123456789ABCDEF"), std::wstring::npos);
            guids.push_back(guid);
            EXPECT_EQ(files[i],
                      (Row{guid, L"Public", L"admin", want.typePath, size, idOf[want.parentPath],
                           want.filPath, L"1", L"1", L"1", L"admin"}))
                << "file " << i << " " << test::Utf8(want.source);
            EXPECT_EQ(digests[i],
                      (Row{L"1", L"1", want.typePath, size, want.filPath, Md5Lower(want.content)}))
                << "digest " << i << " " << test::Utf8(want.source);
            EXPECT_EQ(test::ReadBytes(StoreFile(want.filPath)), want.content)
                << test::Utf8(want.filPath);
        }
        std::sort(guids.begin(), guids.end());
        EXPECT_EQ(std::unique(guids.begin(), guids.end()), guids.end());
    }
};

TEST_F(ImportWalkTest, PlainModeImportsTheWholeMixedTree) {
    const std::wstring root = Src(L"Team");
    MakeMixedTree(root);
    Run(root);
    CheckImported(root, L"DownLoad/Public", L"0");

    // Folders named x+y and 50%41 are walked under their own names.
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\x+y\\plus.txt"), "plus");
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\50 41\\pct.txt"), "percent");
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\a b.txt"), "nbsp");
    EXPECT_TRUE(test::Exists(server_.store + L"\\DownLoad\\Public\\空目录"));
    EXPECT_FALSE(test::Exists(server_.store + L"\\DownLoad\\Public\\system.txt"));
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\sysdir\\inside.txt"),
              "customised folder")
        << "a system folder is walked like any other";

    std::vector<std::wstring> lines = LineTexts();
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::wstring>{
                         L"[type:19]: " + root + L"\\50%41 " + logtext::kFolderCleaned,
                         L"[type:19]: " + root + L"\\A&B'C%D " + logtext::kFolderCleaned,
                     }));
    EXPECT_EQ(importer_.List1(), window_.list1);
    EXPECT_EQ(window_.boxes.back().text, msg::kSucceeded);
    EXPECT_EQ(state_.RootFolderName, L"Team");
    EXPECT_TRUE(test::Exists(root + L"\\a.txt")) << "nothing deleted unless asked";
}

TEST_F(ImportWalkTest, RootModeRegistersTheChosenFolderFirst) {
    const std::wstring root = Src(L"R&D's 100% 报告");
    MakeMixedTree(root);
    Run(root, true);

    const auto top =
        Rows(L"select PtpFolderID, UsName, ParentID from PtpFolder order by PtpFolderID limit 1");
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0][1], L"R D s 100  报告");
    EXPECT_EQ(top[0][2], L"0");
    EXPECT_EQ(state_.RootFolderName, L"R&D's 100% 报告");
    CheckImported(root, L"DownLoad/Public/R D s 100  报告", *top[0][0]);
    ASSERT_FALSE(window_.list1.empty());
    EXPECT_EQ(LineTexts()[0], L"[type:19]: " + root + L" " + logtext::kRootCleaned);
    EXPECT_EQ(window_.list1.size(), 3u);
}

TEST_F(ImportWalkTest, RootModeOnAMissingFolderRegistersNothing) {
    Run(Src(L"gone"), true);
    EXPECT_EQ(Rows(L"select count(*) from PtpFolder")[0][0], L"0");
    EXPECT_EQ(LineTexts(), (std::vector<std::wstring>{L"[type:18]: " + Src(L"gone") + L"\\ " +
                                                      logtext::kFolderFailed}));
    EXPECT_EQ(EndMessage(),
              std::wstring(msg::kPartlyFailedBefore) + L"1" + msg::kPartlyFailedAfter);
    EXPECT_EQ(window_.boxes.back().type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
}

TEST_F(ImportWalkTest, EmptyFolderImportsNothing) {
    test::MakeDirs(Src(L"empty"));
    Run(Src(L"empty"));
    EXPECT_EQ(Rows(L"select count(*) from PtpFolder")[0][0], L"0");
    EXPECT_EQ(Rows(L"select count(*) from PtpFile")[0][0], L"0");
    EXPECT_TRUE(window_.list1.empty());
    EXPECT_EQ(window_.boxes.back().text, msg::kSucceeded);
}

TEST_F(ImportWalkTest, DeleteAfterImportRemovesOnlyWhatIsSafelyStored) {
    const std::wstring root = Src(L"del");
    test::WriteBytes(root + L"\\keep-locked.txt", "locked");
    test::WriteBytes(root + L"\\gone.txt", "gone");
    test::WriteBytes(root + L"\\readonly.txt", "ro");
    SetFileAttributesW((root + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    test::WriteBytes(root + L"\\sub\\deep.txt", "deep");
    // Another program holds this file open without sharing: it can't be read.
    unique_hfile locked(CreateFileW((root + L"\\keep-locked.txt").c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(locked);
    Run(root, false, true);
    locked.reset();

    EXPECT_FALSE(test::Exists(root + L"\\gone.txt"));
    EXPECT_FALSE(test::Exists(root + L"\\readonly.txt"));
    EXPECT_FALSE(test::Exists(root + L"\\sub\\deep.txt"));
    EXPECT_TRUE(test::Exists(root + L"\\sub")) << "folders stay";
    EXPECT_EQ(test::ReadBytes(root + L"\\keep-locked.txt"), "locked");
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\gone.txt"), "gone");
    EXPECT_FALSE(test::Exists(server_.store + L"\\DownLoad\\Public\\keep-locked.txt"));
    EXPECT_EQ(Rows(L"select count(*) from PtpFile where TypePath='keep-locked.txt'")[0][0], L"0");

    EXPECT_EQ(LineTexts(),
              (std::vector<std::wstring>{L"[type:18]: " + root + L"\\keep-locked.txt " +
                                         logtext::kFileFailed}));
    EXPECT_EQ(EndMessage(),
              std::wstring(msg::kPartlyFailedBefore) + L"1" + msg::kPartlyFailedAfter);
    EXPECT_FALSE(state_.DeleteAfterImport);
}

TEST_F(ImportWalkTest, FilesWhoseRowsFailAreKept) {
    const std::wstring root = Src(L"rows");
    test::WriteBytes(root + L"\\a.txt", "a");
    test::WriteBytes(root + L"\\b.txt", "b");
    ASSERT_EQ(server_.db.Exec(L"rename table MD5File to MD5File_away"), L"");
    Run(root, false, true);
    EXPECT_EQ(test::ReadBytes(root + L"\\a.txt"), "a");
    EXPECT_EQ(test::ReadBytes(root + L"\\b.txt"), "b");
    EXPECT_EQ(window_.list1.size(), 2u);
    EXPECT_EQ(EndMessage(),
              std::wstring(msg::kPartlyFailedBefore) + L"2" + msg::kPartlyFailedAfter);
}

TEST_F(ImportWalkTest, UnlistableFolderGoesToTheHoldingDirectory) {
    const std::wstring root = Src(L"Team");
    test::WriteBytes(root + L"\\Sub\\Deep\\x.txt", "x");
    test::WriteBytes(root + L"\\ok.txt", "ok");
    test::TempDir outside;
    test::WriteBytes(outside / L"secret.txt", "not the operator's to copy");
    ASSERT_TRUE(test::MakeUnixLink(outside / L"secret.txt", root + L"\\Sub\\Deep\\out.txt"));
    test::RemoveTree(L"D:\\KSRtemp");
    // The walk can't list Deep; the survey before it and the holding copy after it can.
    int listings = 0;
    test::ListingFault fault([&](const std::wstring& directory, size_t delivered) -> DWORD {
        const bool walk = delivered == 0 && directory.ends_with(L"\\Deep\\") && ++listings == 2;
        return walk ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
    });
    Run(root);

    EXPECT_EQ(LineTexts(), (std::vector<std::wstring>{L"[type:18]: " + root + L"\\Sub\\Deep\\ " +
                                                      logtext::kFolderFailed}));
    EXPECT_EQ(test::ReadBytes(L"D:\\KSRtemp\\Team\\Sub\\Deep\\x.txt"), "x");
    EXPECT_FALSE(test::Exists(L"D:\\KSRtemp\\Team\\Sub\\Deep\\out.txt"))
        << "a link out of the chosen folder is not read";
    EXPECT_EQ(Rows(L"select UsName from PtpFolder order by PtpFolderID").size(), 2u)
        << "Deep itself was registered when Sub was listed";
    EXPECT_EQ(test::ReadBytes(server_.store + L"\\DownLoad\\Public\\ok.txt"), "ok");
    test::RemoveTree(L"D:\\KSRtemp");
}

TEST_F(ImportWalkTest, SubFolderWithoutAnIdIsLeftForTheNextRun) {
    const std::wstring root = Src(L"ids");
    test::WriteBytes(root + L"\\noid\\lost.txt", "lost");
    test::WriteBytes(root + L"\\fine\\kept.txt", "kept");
    ASSERT_EQ(server_.db.Exec(L"create trigger refuse before insert on PtpFolder for each row "
                              L"if NEW.UsName = 'noid' then signal sqlstate '45000'; end if"),
              L"");
    Run(root);
    EXPECT_EQ(Rows(L"select UsName from PtpFolder"), (std::vector<Row>{{L"fine"}}));
    EXPECT_EQ(Rows(L"select FilPath from PtpFile"),
              (std::vector<Row>{{L"DownLoad/Public/fine/kept.txt"}}));
    EXPECT_EQ(LineTexts(), (std::vector<std::wstring>{L"[type:18]: " + root + L"\\noid\\ " +
                                                      logtext::kFolderFailed}));
    EXPECT_TRUE(test::Exists(root + L"\\noid\\lost.txt"));
}

TEST_F(ImportWalkTest, PathsBeyondMaxPath) {
    std::wstring deep = Src(L"long");
    std::wstring filDir = L"DownLoad/Public";
    for (int i = 0; i < 12; ++i) {
        const std::wstring level = L"第" + std::to_wstring(i) + L"层-a-fairly-long-folder-name";
        deep += L"\\" + level;
        filDir += L"/" + level;
    }
    ASSERT_GT(deep.size(), 300u);
    test::WriteBytes(deep + L"\\file.txt", "far down");
    Run(Src(L"long"));
    EXPECT_EQ(test::ReadBytes(StoreFile(filDir + L"/file.txt")), "far down");
    EXPECT_EQ(Rows(L"select FilPath from PtpFile"), (std::vector<Row>{{filDir + L"/file.txt"}}));
    EXPECT_EQ(Rows(L"select count(*) from PtpFolder")[0][0], L"12");
    EXPECT_EQ(window_.boxes.back().text, msg::kSucceeded);
}

TEST_F(ImportWalkTest, TheRunsLinesReachTheServerLog) {
    test::WriteBytes(Src(L"logged\\x&y\\f.txt"), "f");
    Run(Src(L"logged"));
    ASSERT_EQ(window_.list1.size(), 1u);
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t month[8], day[16];
    swprintf(month, 8, L"%04u%02u", now.wYear, now.wMonth);
    swprintf(day, 16, L"%04u%02u%02u.log", now.wYear, now.wMonth, now.wDay);
    const std::string log = test::ReadBytes(server_.store + L"\\log\\" + month + L"\\" + day);
    // The line as the server reads it: code page 936, CR LF ended.
    const std::wstring& line = window_.list1[0];
    std::string ansi(line.size() * 2, '\0');
    ansi.resize(WideCharToMultiByte(936, 0, line.data(), static_cast<int>(line.size()), ansi.data(),
                                    static_cast<int>(ansi.size()), nullptr, nullptr));
    EXPECT_EQ(log, ansi + "\r\n");
    EXPECT_NE(log.find("\xCE\xC4\xBC\xFE\xBC\xD0"), std::string::npos) << "文件夹 in GBK";
}

TEST_F(ImportWalkTest, DirectoryLinksAreNotFollowed) {
    // dev/test lays this tree out on drive D: with a link "loop" pointing back at the tree
    // itself; a walk that followed it would never end.
    const std::wstring root = L"D:\\link-tree";
    ASSERT_EQ(GetFileAttributesW((root + L"\\loop").c_str()),
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
        << "run through dev/test";
    Run(root);
    EXPECT_EQ(Rows(L"select UsName from PtpFolder"), (std::vector<Row>{{L"real"}}));
    EXPECT_EQ(Rows(L"select FilPath from PtpFile"),
              (std::vector<Row>{{L"DownLoad/Public/real/r.txt"}}));
    EXPECT_EQ(LineTexts(), (std::vector<std::wstring>{L"[type:18]: " + root + L"\\loop\\ " +
                                                      logtext::kFolderFailed}));
    EXPECT_EQ(state_.SourceBytesTotal, L"1") << "the size total does not follow the link either";
}

TEST_F(ImportWalkTest, NamesThatCleanAlikeLandOnOneStoreFile) {
    const std::wstring root = Src(L"alike");
    for (int i = 0; i < 8; ++i) {
        const std::wstring n = std::to_wstring(i);
        test::WriteBytes(root + L"\\x" + n + L" y.txt", "space " + std::string(200000 * i, 's'));
        test::WriteBytes(root + L"\\x" + n + L"\u00A0y.txt", "nbsp " + std::string(1000 * i, 'n'));
    }
    Run(root);
    const auto rows = Rows(L"select FilPath, MD5Hash from MD5File order by MD5FileID");
    ASSERT_EQ(rows.size(), 8u) << "only the first file of each pair gets rows";
    for (const auto& row : rows) {
        EXPECT_EQ(Md5Lower(test::ReadBytes(StoreFile(*row[0]))), *row[1]) << test::Utf8(*row[0]);
    }
    EXPECT_EQ(importer_.Failures().size(), 8u);
}

TEST_F(ImportWalkTest, StopRequestEndsAfterTheFileInHand) {
    const std::wstring root = Src(L"stop");
    for (int i = 0; i < 5; ++i) test::WriteBytes(root + L"\\f" + std::to_wstring(i) + L".txt", "x");
    std::atomic<int> asked = 0;
    window_.stop = [&] { return ++asked > 2; };
    Run(root);
    EXPECT_EQ(Rows(L"select count(*) from PtpFile")[0][0], L"2");
    EXPECT_EQ(test::ListNames(server_.store + L"\\DownLoad\\Public").size(), 2u)
        << "no half-copied file";
    ASSERT_EQ(window_.boxes.size(), 1u) << "the end message is still shown";
    EXPECT_EQ(EndMessage(), std::wstring(msg::kStopped) + L"\n\n" + msg::kStoppedCountBefore +
                                L"3" + msg::kStoppedCountAfter)
        << "a stopped run is no success, and says what it left";
    EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
    ASSERT_EQ(window_.outcomes.size(), 1u) << "the run tells the window once how it ended";
    EXPECT_EQ(window_.outcomes[0].ending, RunOutcome::Ending::Stopped);
    EXPECT_EQ(window_.outcomes[0].notImported, 3u) << "the files never reached count";
    EXPECT_EQ(window_.outcomes[0].reportPath, importer_.ReportPath());
    EXPECT_TRUE(window_.outcomes[0].logWritten);
}

}  // namespace
}  // namespace ksr
