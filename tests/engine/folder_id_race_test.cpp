// A folder's id is the one the server gave the import's own insert, even when another writer
// adds a folder of the same owner, name and parent between that insert and the reading of its
// id: the largest id of such a folder is then the other writer's.
#include <windows.h>

#include <string>
#include <thread>

#include "import_test_support.h"
#include "server/database.h"

namespace ksr {
namespace {

using test::Row;

constexpr wchar_t kContested[] = L"contested";

// A web user's writer that puts a folder row (To_Type 2) of the same owner, name and parent as
// the import's `kContested` folder in place while the import's insert of it is in, its id
// given, and the import has not read the id yet. A trigger holds that insert on a named lock
// this writer keeps until its own row is committed; it sees the import's row before that row
// commits by reading uncommitted rows.
// The test's thread constructs it, arms it and calls Finish(); the writer runs on a thread of its
// own, which alone uses the session between the two.
class RivalFolderWriter {
  public:
    explicit RivalFolderWriter(test::TestDatabase& db)
        : db_(db), session_(db.ConnString()), lock_(L"ksr_rival_" + db.name()) {}
    RivalFolderWriter(const RivalFolderWriter&) = delete;
    RivalFolderWriter& operator=(const RivalFolderWriter&) = delete;
    ~RivalFolderWriter() { (void)Finish(); }

    // Takes the lock and installs the trigger that waits for it; empty, or what failed.
    std::wstring Arm() {
        const std::wstring_view lock[] = {lock_};
        const Result<std::optional<std::wstring>> held =
            session_.QueryValue(L"select GET_LOCK(?,10) as c", L"c", lock);
        if (!held || *held != L"1") return L"the lock was not taken";
        if (const Status dirty =
                session_.Execute(L"set session transaction isolation level read uncommitted");
            !dirty) {
            return dirty.error().message;
        }
        // A trigger may not write its own table: the rival row comes from this writer's own
        // connection, and the trigger only waits for it.
        const std::wstring trigger =
            L"create trigger hold_contested after insert on PtpFolder for each row set @held = "
            L"if(NEW.To_Type = 1 and NEW.UsName = '" +
            std::wstring(kContested) + L"', GET_LOCK('" + lock_ + L"', 20) + RELEASE_LOCK('" +
            lock_ + L"'), 0)";
        if (std::wstring failed = db_.Exec(trigger); !failed.empty()) return failed;
        thread_ = std::thread([this] {
            try {
                outcome_ = PlaceRival();
                const std::wstring_view lock[] = {lock_};
                (void)session_.QueryValue(L"select RELEASE_LOCK(?) as c", L"c", lock);
            } catch (...) {
                // The trigger stops waiting by itself; the session closes with the writer.
                outcome_ = L"the rival writer threw";
            }
        });
        return {};
    }

    // Waits for the writer; empty when its row went in while the import's insert was held.
    std::wstring Finish() {
        if (thread_.joinable()) thread_.join();
        return outcome_;
    }

  private:
    std::wstring PlaceRival() {
        const std::wstring_view name[] = {kContested};
        for (const ULONGLONG until = GetTickCount64() + 60000; GetTickCount64() < until;
             Sleep(20)) {
            const Result<DbRow> ours = session_.QueryRow(
                L"select MyID,ParentID from PtpFolder where To_Type=1 and UsName=?", name);
            if (!ours) return ours.error().message;
            if (ours->size() != 2 || !(*ours)[0] || !(*ours)[1]) continue;
            const std::wstring_view rival[] = {*(*ours)[0], kContested, *(*ours)[1]};
            const Status inserted = session_.Execute(
                L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
                L"values(?,?,?,2,'7','web')",
                rival);
            return inserted ? std::wstring() : inserted.error().message;
        }
        return L"the import's folder row never came";
    }

    test::TestDatabase& db_;
    DbSession session_;
    std::wstring lock_;
    std::thread thread_;
    std::wstring outcome_;
};

class FolderIdRaceTest : public test::ImportTest {};

TEST_F(FolderIdRaceTest, FilesHangUnderTheFolderTheImportInsertedNotARivalOfTheSameName) {
    struct Case {
        const char* name;
        const wchar_t* chosen;  // the folder picked, below the sources
        const wchar_t* files;   // where its files are, below the chosen folder
        bool rootMode;          // the chosen folder is registered itself
    };
    const Case cases[] = {
        {"the chosen folder", L"first\\contested", L"", true},
        {"a folder below another", L"second\\tree", L"outer\\contested\\", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(server_.db.Exec(L"drop trigger if exists hold_contested").empty());
        ASSERT_TRUE(server_.db.Exec(L"delete from PtpFolder").empty());
        ASSERT_TRUE(server_.db.Exec(L"delete from PtpFile").empty());
        const std::wstring root = Src(c.chosen);
        const std::wstring folder = root + L"\\" + c.files;
        for (const wchar_t* file : {L"one.txt", L"two.txt", L"three.txt"}) {
            test::WriteBytes(folder + file, test::Utf8(folder + file));
        }
        RivalFolderWriter rival(server_.db);
        ASSERT_EQ(rival.Arm(), L"");
        Run(root, c.rootMode);
        ASSERT_EQ(rival.Finish(), L"");

        // The race took place: the rival's row, of the same owner, name and parent, came after
        // the import's.
        const auto contested = Rows(
            L"select To_Type, MyID, ParentID from PtpFolder where UsName='contested' "
            L"order by PtpFolderID");
        ASSERT_EQ(contested.size(), 2u);
        EXPECT_EQ(contested[0][0], std::wstring(L"1"));
        EXPECT_EQ(contested[1][0], std::wstring(L"2"));
        EXPECT_EQ(contested[0][1], contested[1][1]);
        EXPECT_EQ(contested[0][2], contested[1][2]);

        const auto files = Rows(
            L"select f.TypePath, d.UsName, d.To_Type from PtpFile f left join PtpFolder d on "
            L"d.PtpFolderID = f.PtpFolderID");
        EXPECT_EQ(files.size(), 3u);
        for (const Row& file : files) {
            EXPECT_EQ(file[1], std::wstring(kContested)) << test::Utf8(file[0].value_or(L""));
            EXPECT_EQ(file[2], std::wstring(L"1")) << test::Utf8(file[0].value_or(L""));
        }
    }
}

}  // namespace
}  // namespace ksr
