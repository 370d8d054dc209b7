#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/row_writer.h"
#include "engine/run_record.h"
#include "server/database.h"
#include "support/fake_window.h"
#include "support/fault_db.h"
#include "support/test_db.h"

namespace ksr {
namespace {

// Whether `line` is an activity line about `subject`.
bool About(const std::wstring& line, const std::wstring& subject) {
    return line.find(L" " + subject + L" ") != std::wstring::npos;
}

// Each item not imported is one line, one failure and one count, told in the order given; an
// item passed over is in the report only, and the one line for what a run did not reach counts
// nothing of its own.
TEST(RunRecordTest, EveryItemIsToldOnceInOrder) {
    test::FakeWindow window;
    RunRecord record(window);
    record.Begin();
    RunEvents events;
    events.Line(L"first");
    events.Failure(L"C:\\in\\a.txt", ItemKind::FileNotImported, L"why a");
    events.Skipped(L"C:\\in\\desktop.ini");
    events.Failure(L"C:\\in\\b.txt", ItemKind::SourceKept, L"why b");
    events.Failure(L"C:\\in\\sub\\", ItemKind::FolderNotImported, L"why sub");
    record.Tell(events);
    record.NotReached(L"C:\\in\\", L"stopped");

    ASSERT_EQ(window.list1, record.Lines());
    ASSERT_EQ(record.Lines().size(), 5u);
    EXPECT_EQ(record.Lines()[0], L"first");
    const std::vector<std::wstring> subjects = {L"C:\\in\\a.txt", L"C:\\in\\b.txt",
                                                L"C:\\in\\sub\\", L"C:\\in\\"};
    ASSERT_EQ(record.Failures().size(), subjects.size());
    for (size_t i = 0; i < subjects.size(); ++i) {
        EXPECT_EQ(record.Failures()[i].path, subjects[i]);
        EXPECT_TRUE(About(record.Lines()[i + 1], subjects[i])) << i;
    }
    EXPECT_EQ(record.FailedItems(), 3u);
    record.Begin();
    EXPECT_TRUE(record.Lines().empty() && record.Failures().empty());
    EXPECT_EQ(record.FailedItems(), 0u);
    EXPECT_EQ(window.list1Clears, 2);
}

// What a unit tells waits behind the files submitted before it until their batch settles, and
// then comes in unit order, whatever became of those files.
TEST(RowWriterTest, WhatUnitsTellWaitsForTheFilesBeforeThem) {
    struct Case {
        std::wstring firstFile;  // its name; one the column can't hold fails
        bool firstFails;
    };
    const Case cases[] = {{L"plain.txt", false}, {L"smile \U0001F600.txt", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.firstFails ? "fails" : "imported"));
        // A server that would store the emoji altered; the read-back turns the file away.
        test::LaxDatabase database;
        ASSERT_TRUE(database.ok());
        DbSession db(database.ConnString());
        ASSERT_TRUE(db.Open().ok());
        test::FakeWindow window;
        RunRecord record(window);
        RunFlags flags;
        RunPlaces places;
        places.mysql = true;
        RowWriter writer(db, places, flags, record, nullptr);

        const auto unit = [](const std::wstring& name) {
            return FileUnit{L"C:\\in\\" + name,
                            name,
                            L"DownLoad/Public/" + name,
                            L"0",
                            L"Public",
                            {},
                            false,
                            {}};
        };
        CopyResult copied;
        copied.bytes = 3;
        copied.md5 = L"900150983cd24fb0d6963f7d28e17f72";
        writer.AddFile(copied, unit(c.firstFile));
        RunEvents line;
        line.Line(L"between");
        writer.Add(line);
        CopyResult failed;
        failed.status = Win32Error(ERROR_SHARING_VIOLATION);
        writer.AddFile(failed, unit(L"locked.txt"));
        EXPECT_TRUE(record.Lines().empty()) << "told before the file ahead of it settled";

        EXPECT_FALSE(writer.Flush(true));
        std::vector<std::wstring> expected;
        if (c.firstFails) expected.push_back(L"C:\\in\\" + c.firstFile);
        expected.push_back(L"between");
        expected.push_back(L"C:\\in\\locked.txt");
        ASSERT_EQ(record.Lines().size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) {
            EXPECT_TRUE(record.Lines()[i] == expected[i] || About(record.Lines()[i], expected[i]))
                << i;
        }
        EXPECT_EQ(record.ImportedAny(), !c.firstFails);
        EXPECT_EQ(record.FailedItems(), c.firstFails ? 2u : 1u);
    }
}

}  // namespace
}  // namespace ksr
