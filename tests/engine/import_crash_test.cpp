// A store copy gets its name only once on disk and its rows only after that; a session's answers
// that fail or throw part-way leave every file imported (rows and store copy) or not imported
// (reported, source kept), and what ended runs left is removed while running ones keep theirs.
#include <windows.h>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "engine/file_transfer.h"
#include "engine/partial_folder.h"
#include "engine/row_writer.h"
#include "import_test_support.h"
#include "support/digest.h"

namespace ksr {
namespace {

const std::vector<std::string> kContents = {"first file", "second file", "third file"};

std::wstring FileName(size_t i) {
    return L"f" + std::to_wstring(i) + L".txt";
}

// What the session answers at each step the row writer takes, in order; later steps pass.
enum class Answer { Pass, Refuse, Lose, Throw };

class ImportCrashTest : public test::ImportTest {
  protected:
    void TearDown() override {
        SetRowsFaultForTest(nullptr);
        SetStoreFlushFaultForTest(nullptr);
    }

    // Imports a fresh tree `name` into an empty store and database, the session answering as
    // `script` says; returns the tree. No temporary file is left.
    std::wstring RunScripted(const std::wstring& name, std::vector<Answer> script,
                             bool deleting = true) {
        EXPECT_EQ(server_.db.Exec(L"delete from PtpFile"), L"");
        EXPECT_EQ(server_.db.Exec(L"delete from MD5File"), L"");
        const std::wstring root = Src(name);
        for (size_t i = 0; i < kContents.size(); ++i) {
            DeleteFileW(StoreFile(L"DownLoad/Public/" + FileName(i)).c_str());
            test::WriteBytes(root + L"\\" + FileName(i), kContents[i]);
        }
        SetRowsFaultForTest([script, step = size_t{0}](RowsStep, size_t) mutable -> Status {
            const Answer answer = step < script.size() ? script[step] : Answer::Pass;
            ++step;
            if (answer == Answer::Throw) throw std::runtime_error("thrown by the test");
            if (answer == Answer::Pass) return {};
            return DatabaseError(answer == Answer::Lose ? L"08S01" : L"HY000", L"the test's");
        });
        Run(root, false, deleting);
        SetRowsFaultForTest(nullptr);
        EXPECT_EQ(test::FilesOneLevelDown(PartialTop()), std::vector<std::wstring>{});
        return root;
    }

    // Every file is imported (one row in each table naming its bytes, which the store holds)
    // or reported; a source goes only with its rows; a row names a store file that is there.
    // Returns the files with rows.
    size_t ExpectNothingWrong(const std::wstring& root) {
        size_t withRows = 0;
        for (size_t i = 0; i < kContents.size(); ++i) {
            const std::wstring filPath = L"DownLoad/Public/" + FileName(i);
            SCOPED_TRACE(test::Utf8(filPath));
            const auto digest =
                Rows(L"select PcSize, MD5Hash from MD5File where FilPath='" + filPath + L"'");
            const bool rows = !digest.empty();
            withRows += rows;
            if (rows) {
                EXPECT_EQ(digest, (std::vector<test::Row>{{std::to_wstring(kContents[i].size()),
                                                           test::Md5Lower(kContents[i])}}));
                EXPECT_EQ(test::ReadBytes(StoreFile(filPath)), kContents[i]) << "a row ahead";
            } else {
                EXPECT_FALSE(test::Exists(StoreFile(filPath))) << "a copy without rows";
                EXPECT_NE(ReasonFor(root + L"\\" + FileName(i)), L"(not reported)");
            }
            EXPECT_TRUE(rows || test::Exists(root + L"\\" + FileName(i))) << "a source gone";
        }
        return withRows;
    }

    std::wstring PartialTop() const { return server_.store + L"\\" + kPartialFolderName; }
};

// A store copy that can't be flushed never gets its name, nor rows, with deletion on or off.
TEST_F(ImportCrashTest, ACopyNotFlushedGetsNeitherItsNameNorRows) {
    for (const bool deleting : {false, true}) {
        SCOPED_TRACE(deleting ? "deleting" : "keeping");
        SetStoreFlushFaultForTest([](const std::wstring& target) -> DWORD {
            return target.ends_with(FileName(1)) ? ERROR_IO_DEVICE : ERROR_SUCCESS;
        });
        const std::wstring root =
            RunScripted(deleting ? L"flush_delete" : L"flush_keep", {}, deleting);
        EXPECT_EQ(ExpectNothingWrong(root), kContents.size() - 1);
        EXPECT_TRUE(test::Exists(root + L"\\" + FileName(1)));
    }
}

// A file written again after a reconnect whose own commit answer is lost may have rows after
// all: its store copy (and source) stay, as after a first try whose answer was lost.
TEST_F(ImportCrashTest, ARetrysLostAnswerKeepsTheCopyItsRowsMayName) {
    const struct {
        const wchar_t* name;
        std::vector<Answer> script;  // the batch's begin, then the first file's steps
    } cases[] = {
        {L"first_lost", {Answer::Refuse, Answer::Pass, Answer::Lose}},
        {L"retry_lost", {Answer::Refuse, Answer::Lose, Answer::Pass, Answer::Lose}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.name));
        const std::wstring root = RunScripted(c.name, c.script);
        EXPECT_EQ(ExpectNothingWrong(root), kContents.size());
        EXPECT_TRUE(test::Exists(root + L"\\" + FileName(0))) << "kept until the database tells";
        EXPECT_NE(ReasonFor(root + L"\\" + FileName(0)), L"(not reported)");
    }
}

// An exception part-way through a batch fails only the files not yet decided: those whose rows
// committed stay imported, store copies and all.
TEST_F(ImportCrashTest, AnExceptionFailsOnlyTheFilesNotYetDecided) {
    const struct {
        const wchar_t* name;
        std::vector<Answer> script;
        size_t imported;
    } cases[] = {
        {L"after_commit", {Answer::Pass, Answer::Throw}, 3},
        {L"one_by_one", {Answer::Refuse, Answer::Pass, Answer::Pass, Answer::Throw}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.name));
        const std::wstring root = RunScripted(c.name, c.script);
        EXPECT_EQ(ExpectNothingWrong(root), c.imported);
        EXPECT_EQ(importer_.Failures().size(), kContents.size() - c.imported);
    }
}

// What a run that was ended left is removed and reported; a running one's files stay.
TEST_F(ImportCrashTest, LeftoversOfEndedRunsGoAndARunningOnesStay) {
    const std::wstring ended = L"0123456789ABCDEF0123456789ABCDEF\\7.part";
    const std::wstring running = L"FEDCBA9876543210FEDCBA9876543210";
    test::WriteBytes(PartialTop() + L"\\" + ended, "half a document");
    test::WriteBytes(PartialTop() + L"\\" + running + L"\\8.part", "being written");
    const unique_handle claim(
        CreateMutexW(nullptr, TRUE, (L"Global\\ksrimport-partial-" + running).c_str()));
    ASSERT_TRUE(claim);
    const std::wstring root = Src(L"leftovers");
    test::WriteBytes(root + L"\\" + FileName(0), kContents[0]);
    Run(root);

    EXPECT_EQ(Rows(L"select count(*) from PtpFile")[0][0], L"1");
    EXPECT_EQ(importer_.LeftoversRemoved(),
              std::vector<std::wstring>{PartialTop() + L"\\" + ended});
    EXPECT_EQ(test::FilesOneLevelDown(PartialTop()),
              std::vector<std::wstring>{running + L"\\8.part"});
}

}  // namespace
}  // namespace ksr
