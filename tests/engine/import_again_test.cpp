#include <windows.h>

#include <thread>

#include "app/message_texts.h"
#include "engine/names.h"
#include "import_test_support.h"

namespace ksr {
namespace {

using test::Row;

// The tree every case imports: files in the folder itself, in sub-folders, and an empty folder.
const wchar_t* const kFiles[] = {L"a.txt", L"b.txt", L"Sub\\c.txt", L"Sub\\Deep\\d.txt",
                                 L"R&D\\e.txt"};
const wchar_t* const kFolders[] = {L"Sub", L"Sub\\Deep", L"R&D", L"Empty"};

class ImportAgainTest : public test::ImportTest {
  protected:
    void MakeTree() {
        for (const wchar_t* file : kFiles) {
            test::WriteBytes(Src(std::wstring(L"docs\\") + file), test::Utf8(file));
        }
        test::MakeDirs(Src(L"docs\\Empty"));
    }
    std::wstring One(const std::wstring& sql) {
        const std::vector<Row> rows = Rows(sql);
        return rows.empty() || rows[0].empty() ? L"(none)" : rows[0][0].value_or(L"NULL");
    }
    std::wstring Count(const std::wstring& table) { return One(L"select count(*) from " + table); }
    // What one uninterrupted run leaves, whatever ran before: one folder row per folder (besides
    // those made beforehand), both rows of every file once, each file under its folder's row.
    void ExpectOneRowEach(size_t foldersBefore) {
        EXPECT_EQ(Count(L"PtpFolder"), std::to_wstring(std::size(kFolders) + foldersBefore));
        EXPECT_EQ(Count(L"PtpFile"), std::to_wstring(std::size(kFiles)));
        EXPECT_EQ(Count(L"MD5File"), std::to_wstring(std::size(kFiles)));
        EXPECT_TRUE(
            Rows(L"select FilPath from PtpFile group by FilPath having count(*)>1").empty());
        EXPECT_TRUE(
            Rows(L"select FilPath from MD5File group by FilPath having count(*)>1").empty());
        EXPECT_EQ(One(L"select PtpFolderID from PtpFile where FilPath='DownLoad/Public/Sub/Deep/"
                      L"d.txt'"),
                  One(L"select min(PtpFolderID) from PtpFolder where UsName='Deep'"));
    }
};

// Importing again, after any first run, leaves the rows one uninterrupted run leaves; a run that
// found everything in place ends in success and lists the files as already in the store.
TEST_F(ImportAgainTest, LeavesOneRowPerFolderAndFile) {
    struct Case {
        const char* name;
        // Before the first run: folder rows another client made ("UsName", ParentID as given).
        std::vector<std::wstring> madeBefore;
        bool stopFirst;  // the first run is stopped after its first files
        bool deleting;
        bool addFile;          // a file is added between the runs
        size_t alreadyStored;  // files the second run finds in place; kAny: not checked
    };
    constexpr size_t kAny = ~size_t{0};
    const Case cases[] = {
        {"unchanged", {}, false, false, false, std::size(kFiles)},
        {"stopped, then resumed with deletion", {}, true, true, false, kAny},
        {"a web user's folder, letter case aside",
         {L"SUB"},
         false,
         false,
         false,
         std::size(kFiles)},
        {"twins of earlier versions", {L"Sub", L"Sub"}, false, false, false, std::size(kFiles)},
        {"one file added", {}, false, false, true, std::size(kFiles)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const wchar_t* table : {L"PtpFolder", L"PtpFile", L"MD5File"}) {
            ASSERT_EQ(server_.db.Exec(std::wstring(L"delete from ") + table), L"");
        }
        test::RemoveTree(server_.store + L"\\DownLoad");
        test::RemoveTree(Src(L"docs"));
        MakeTree();
        for (const std::wstring& name : c.madeBefore) {
            ASSERT_EQ(
                server_.db.Exec(L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,"
                                L"CreatorName) values('Public','" +
                                name + L"','0',1,'7','web')"),
                L"");
        }
        const std::wstring oldest =
            c.madeBefore.empty() ? L"" : One(L"select min(PtpFolderID) from PtpFolder");

        // Stopped once the first file is in the store: some folders and files are in, some not.
        if (c.stopFirst) {
            window_.stop = [this] {
                return test::Exists(StoreFile(L"DownLoad/Public/a.txt")) ||
                       test::Exists(StoreFile(L"DownLoad/Public/b.txt"));
            };
        }
        Run(Src(L"docs"), false, c.deleting);
        window_.stop = nullptr;
        if (c.addFile) test::WriteBytes(Src(L"docs\\Sub\\new.txt"), "new");
        Run(Src(L"docs"), false, c.deleting);

        EXPECT_EQ(EndMessage(), msg::kSucceeded);
        const bool added = c.addFile;
        if (c.alreadyStored != kAny) {
            EXPECT_EQ(importer_.AlreadyStored().size(), c.alreadyStored);
        }
        EXPECT_EQ(Count(L"PtpFile"), std::to_wstring(std::size(kFiles) + (added ? 1 : 0)));
        if (added) {
            EXPECT_EQ(One(L"select PtpFolderID from PtpFile where TypePath='new.txt'"),
                      One(L"select PtpFolderID from PtpFile where TypePath='c.txt'"))
                << "the new file goes under the folder row there already";
            for (const wchar_t* table : {L"PtpFile", L"MD5File"}) {
                ASSERT_EQ(server_.db.Exec(std::wstring(L"delete from ") + table +
                                          L" where TypePath='new.txt'"),
                          L"");
            }
        }
        // The folders made before stand for one of the tree's.
        ExpectOneRowEach(c.madeBefore.empty() ? 0 : c.madeBefore.size() - 1);
        if (!oldest.empty()) {
            EXPECT_EQ(One(L"select PtpFolderID from PtpFile where TypePath='c.txt'"), oldest)
                << "merged into the oldest folder of that name";
        }
        for (const wchar_t* file : kFiles) {
            EXPECT_EQ(test::Exists(Src(std::wstring(L"docs\\") + file)), !c.deleting)
                << test::Utf8(file);
        }
    }
}

// Two runs over one tree at once register each folder and file once between them, and every
// file reaches the store.
TEST_F(ImportAgainTest, TwoRunsAtOnceRegisterEachOnce) {
    MakeTree();
    for (int i = 0; i < 40; ++i) {
        test::WriteBytes(Src(L"docs\\Sub\\many" + std::to_wstring(i) + L".txt"),
                         std::string(i, 'm'));
    }
    test::FakeWindow secondWindow;
    ImportState secondState;
    Importer second(secondState, secondWindow);
    second.SetRegistration(server_.Registration());
    second.SetReportDirectory(server_.dir / L"reports2");
    secondWindow.text1 = window_.text1 = Src(L"docs");
    std::thread other([&] { second.importfile(); });
    importer_.importfile();
    other.join();

    EXPECT_EQ(Count(L"PtpFolder"), std::to_wstring(std::size(kFolders)));
    EXPECT_EQ(Count(L"PtpFile"), std::to_wstring(std::size(kFiles) + 40));
    EXPECT_EQ(Count(L"MD5File"), std::to_wstring(std::size(kFiles) + 40));
    EXPECT_TRUE(Rows(L"select FilPath from PtpFile group by FilPath having count(*)>1").empty());
    EXPECT_TRUE(
        Rows(L"select UsName from PtpFolder group by ParentID,UsName having count(*)>1").empty());
    for (const wchar_t* file : kFiles) {
        const std::wstring filPath = ReplaceAll(CleanFolderName(file), L'\\', L'/');
        EXPECT_TRUE(test::Exists(StoreFile(L"DownLoad/Public/" + filPath))) << test::Utf8(file);
    }
}

}  // namespace
}  // namespace ksr
