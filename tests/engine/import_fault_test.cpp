// Runs against a server that alters values or stops answering: nothing it does may delete a
// source whose rows are not committed, or leave a file with rows that name other bytes.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include "app/message_texts.h"
#include "engine/log_texts.h"
#include "import_test_support.h"
#include "support/commit_proxy.h"
#include "support/digest.h"
#include "support/fault_db.h"
#include "util/dir_listing.h"

namespace ksr {
namespace {

class ImportFaultTest : public test::ImportTest {
  protected:
    // Points the installation's INI file and store root at `db` instead of its own database.
    // With `port`, the installation reaches it there instead of at its own port.
    void UseDatabase(test::TestDatabase& db, const std::wstring& port = {}) {
        ASSERT_TRUE(db.ok()) << test::Utf8(db.error());
        ServerSettings settings = db.Settings();
        if (!port.empty()) settings.port = port;
        server_.WriteIni(settings);
        ASSERT_EQ(db.Exec(L"insert into Tab_Config(Col_Name,Col_Data,Col_Genre,Col_Disabled) "
                          L"values ('KSR_CONSOLE','" +
                          ReplaceAll(server_.store, L'\\', L'/') + L"','SysConfig',0)"),
                  L"");
    }

    // `count` small files of distinct content directly in `root`.
    static std::vector<std::wstring> WriteFiles(const std::wstring& root, int count) {
        std::vector<std::wstring> paths;
        for (int i = 0; i < count; ++i) {
            paths.push_back(root + L"\\f" + std::to_wstring(i) + L".txt");
            test::WriteBytes(paths.back(), "file " + std::to_string(i));
        }
        return paths;
    }

    // Every source is still there, and no store copy of it was left without rows.
    void ExpectKeptAndNotStored(const std::wstring& root, const std::vector<std::wstring>& paths) {
        for (const std::wstring& path : paths) {
            EXPECT_TRUE(test::Exists(path)) << test::Utf8(path);
            const std::wstring filPath = L"DownLoad/Public/" + path.substr(root.size() + 1);
            EXPECT_FALSE(test::Exists(StoreFile(filPath))) << test::Utf8(filPath);
        }
    }
};

// A server in non-strict mode with 3-byte text tables stores an emoji as "?" with only a
// warning; that file's rows would name a store file that does not exist.
TEST_F(ImportFaultTest, ValuesTheServerWouldAlterFailTheirFileAndLeaveNoRows) {
    test::LaxDatabase lax;
    UseDatabase(lax);
    const std::wstring root = Src(L"lax");
    test::WriteBytes(root + L"\\plain.txt", "plain");
    test::WriteBytes(root + L"\\smile \U0001F600.txt", "emoji");
    Run(root, false, true);

    EXPECT_EQ(lax.Query(L"select TypePath from PtpFile"), (std::vector<test::Row>{{L"plain.txt"}}));
    EXPECT_EQ(lax.Query(L"select TypePath from MD5File"), (std::vector<test::Row>{{L"plain.txt"}}));
    EXPECT_FALSE(test::Exists(root + L"\\plain.txt"));
    EXPECT_EQ(test::ReadBytes(root + L"\\smile \U0001F600.txt"), "emoji");
    ASSERT_EQ(importer_.Failures().size(), 1u);
    EXPECT_EQ(importer_.Failures()[0].path, root + L"\\smile \U0001F600.txt");
    EXPECT_NE(importer_.Failures()[0].reason.find(L"1366"), std::wstring::npos)
        << test::Utf8(importer_.Failures()[0].reason);
    EXPECT_EQ(EndMessage(),
              std::wstring(msg::kPartlyFailedBefore) + L"1" + msg::kPartlyFailedAfter);
}

// A server that alters a value without a word (SQL Server's varchar turns a character beyond
// its code page into "?"; a trigger stands in for it here): the altered file fails before its
// batch commits, and its neighbours still land.
TEST_F(ImportFaultTest, RowsTheServerStoredAlteredSilentlyFailTheirFile) {
    const struct {
        const wchar_t* table;
        const wchar_t* column;
    } cases[] = {{L"PtpFile", L"TypePath"},
                 {L"PtpFile", L"FilPath"},
                 {L"MD5File", L"FilPath"},
                 {L"MD5File", L"MD5Hash"},
                 {L"PtpFile", L"PcSize"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(std::wstring(c.table) + L"." + c.column));
        test::TestDatabase db;
        UseDatabase(db);
        // Alters only the odd file's value, keeping its length.
        const std::wstring col = c.column;
        ASSERT_EQ(db.Exec(L"create trigger alter_silently before insert on " +
                          std::wstring(c.table) + L" for each row set NEW." + col +
                          L" = if(NEW.FilPath like '%odd#%', concat('Z', substr(NEW." + col +
                          L", 2)), NEW." + col + L")"),
                  L"");
        const std::wstring root = Src(std::wstring(L"silent_") + c.table + c.column);
        test::WriteBytes(root + L"\\plain.txt", "plain");
        test::WriteBytes(root + L"\\odd#.txt", "odd");
        Run(root, false, true);

        EXPECT_EQ(db.Query(L"select TypePath from PtpFile"),
                  (std::vector<test::Row>{{L"plain.txt"}}));
        EXPECT_EQ(db.Query(L"select TypePath from MD5File"),
                  (std::vector<test::Row>{{L"plain.txt"}}));
        EXPECT_FALSE(test::Exists(root + L"\\plain.txt"));
        EXPECT_EQ(test::ReadBytes(root + L"\\odd#.txt"), "odd");
        ASSERT_EQ(importer_.Failures().size(), 1u);
        EXPECT_EQ(importer_.Failures()[0].path, root + L"\\odd#.txt");
    }
}

// A server whose trigger numbers PtpFile rows itself: the insert generates no id, so the id
// the connection last generated (MD5File's, of the batch before) tells nothing of these rows.
TEST_F(ImportFaultTest, RowsNumberedByTheServersOwnTriggerStillImport) {
    test::TestDatabase db;
    UseDatabase(db);
    ASSERT_EQ(db.Exec(L"create trigger own_ids before insert on PtpFile for each row set "
                      L"NEW.PtpFileID = (@own_id := coalesce(@own_id, 0) - 1)"),
              L"");
    const std::wstring root = Src(L"own_ids");
    // More than one batch, so that a later batch meets the id the first one's MD5File rows left.
    const std::vector<std::wstring> paths = WriteFiles(root, 300);
    Run(root, false, true);

    EXPECT_EQ(db.Query(L"select count(*) from PtpFile where PtpFileID<0")[0][0], L"300");
    EXPECT_EQ(db.Query(L"select count(*) from MD5File")[0][0], L"300");
    EXPECT_TRUE(importer_.Failures().empty());
    EXPECT_EQ(EndMessage(), msg::kSucceeded);
}

// A server that stops answering part-way: the run ends on its own, says the database was
// lost, and copies no more of the tree into the store.
TEST_F(ImportFaultTest, ADatabaseThatStopsAnsweringEndsTheRun) {
    test::StallableDatabase db;
    UseDatabase(db);
    importer_.SetDatabaseTimeouts(3, 3);
    const std::wstring root = Src(L"stall");
    std::vector<std::pair<std::wstring, std::string>> files;
    // More files than one batch of rows, which is as far as the walk gets before it learns.
    for (int folder = 0; folder < 40; ++folder) {
        for (int i = 0; i < 20; ++i) {
            const std::wstring path =
                root + L"\\d" + std::to_wstring(folder) + L"\\f" + std::to_wstring(i) + L".txt";
            files.push_back({path, "file " + std::to_string(folder * 100 + i)});
            test::WriteBytes(path, files.back().second);
        }
    }
    bool stalled = false;
    SetListingFaultForTest([&](const std::wstring& directory, size_t delivered) -> DWORD {
        // The walk's listing of the third folder: the survey lists folders only once.
        if (!stalled && delivered == 0 && directory.ends_with(L"\\d2\\")) {
            static int seen = 0;
            if (++seen == 2) {
                stalled = true;
                db.Stall();
            }
        }
        return ERROR_SUCCESS;
    });
    Run(root, false, true);
    SetListingFaultForTest(nullptr);
    ASSERT_TRUE(stalled);
    db.Resume();

    const std::wstring end = EndMessage();
    ASSERT_TRUE(end.starts_with(msg::kDatabaseLostBefore)) << test::Utf8(end);
    EXPECT_TRUE(end.ends_with(msg::kDatabaseLostAfter));
    const size_t missing = std::stoul(end.substr(std::wcslen(msg::kDatabaseLostBefore)));
    const size_t registered = std::stoul(*db.Query(L"select count(*) from PtpFile")[0][0]);
    EXPECT_GE(missing, files.size() - registered) << "every file without rows is counted";
    EXPECT_LT(registered, files.size() / 2);

    size_t stored = 0;
    for (const auto& [path, bytes] : files) {
        const std::wstring rel = path.substr(root.size() + 1);
        const std::wstring filPath = L"DownLoad/Public/" + ReplaceAll(rel, L'\\', L'/');
        const bool hasRows = db.Query(L"select count(*) from MD5File where FilPath='" + filPath +
                                      L"'")[0][0] == L"1";
        if (test::Exists(StoreFile(filPath))) ++stored;
        if (test::Exists(path)) continue;
        EXPECT_TRUE(hasRows) << test::Utf8(path) << " was deleted without rows";
        EXPECT_EQ(test::ReadBytes(StoreFile(filPath)), bytes) << test::Utf8(path);
    }
    // Past the loss the walk goes on only while one batch of rows (256 files) and the copies
    // in flight wait for the database to answer.
    EXPECT_LE(stored - std::min(stored, registered), 256u + 64u)
        << "the rest of the tree was not copied without rows; " << stored << " stored, "
        << registered << " with rows";
    EXPECT_FALSE(state_.DeleteAfterImport);
    EXPECT_EQ(window_.outcomes.size(), 1u) << "the run tells the window once how it ended";
}

// A server that takes connections but blocks every write (a backup's lock): the run ends after
// the batch and one probe have timed out, not one file at a time, and nothing is lost.
TEST_F(ImportFaultTest, ADatabaseThatBlocksWritesEndsTheRunWithinTwoTimeouts) {
    test::StallableDatabase db;
    UseDatabase(db);
    importer_.SetDatabaseTimeouts(3, 2);
    const std::wstring root = Src(L"blocked");
    const std::vector<std::wstring> paths = WriteFiles(root, 12);
    DbSession backup(db.ConnString());
    ASSERT_TRUE(backup.Execute(L"LOCK TABLES PtpFile WRITE").ok());
    const ULONGLONG started = GetTickCount64();
    Run(root, false, true);
    const ULONGLONG seconds = (GetTickCount64() - started) / 1000;
    backup.Close();

    const std::wstring end = EndMessage();
    ASSERT_TRUE(end.starts_with(msg::kNotAnsweringBefore)) << test::Utf8(end);
    EXPECT_EQ(std::stoul(end.substr(std::wcslen(msg::kNotAnsweringBefore))), paths.size());
    // Each file waiting out its own timeouts would take well over a minute.
    EXPECT_LT(seconds, 40u);
    EXPECT_EQ(db.Query(L"select count(*) from PtpFile")[0][0], L"0");
    ExpectKeptAndNotStored(root, paths);
    for (const auto& failure : importer_.Failures()) {
        EXPECT_NE(failure.reason.find(reason::kDatabaseNotAnswering), std::wstring::npos)
            << test::Utf8(failure.path) << ": " << test::Utf8(failure.reason);
    }
    EXPECT_FALSE(state_.DeleteAfterImport);
}

// The operator stops a run whose rows wait on the database: a table lock (a backup's, a long
// table change), or a server that hangs, where a cancel can't reach it either. The run ends
// while the database still blocks (a table lock at once; a hung server within its timeouts),
// and every file stays where it was, counted.
TEST_F(ImportFaultTest, StoppingTheRunEndsTheStatementWaitingOnTheDatabase) {
    enum class Hold { TableLock, ServerHung };
    const struct {
        Hold hold;
        unsigned statementTimeout;
    } cases[] = {{Hold::TableLock, 600}, {Hold::ServerHung, 3}};
    for (const auto& c : cases) {
        const bool lock = c.hold == Hold::TableLock;
        SCOPED_TRACE(lock ? "table lock" : "server hung");
        test::StallableDatabase db;
        UseDatabase(db);
        importer_.SetDatabaseTimeouts(3, c.statementTimeout);
        window_.outcomes.clear();
        const std::wstring folder = lock ? L"stopped_lock" : L"stopped_hung";
        const std::wstring root = Src(folder);
        const std::vector<std::wstring> paths = WriteFiles(root, 5);
        std::atomic<bool> held = false, stop = false, ended = false, released = false;
        window_.stop = [&] { return stop.load(); };
        DbSession locker(db.ConnString());
        if (lock) {
            ASSERT_TRUE(locker.Execute(L"LOCK TABLES PtpFile WRITE").ok());
            held = true;
        }
        // The server hangs as the walk lists the chosen folder; the survey listed it first.
        int listings = 0;
        test::ListingFault fault([&](const std::wstring& directory, size_t delivered) -> DWORD {
            if (!lock && !held && delivered == 0 && directory.ends_with(folder + L"\\") &&
                ++listings == 2) {
                db.Stall();
                held = true;
            }
            return ERROR_SUCCESS;
        });
        std::thread operatorAndBackup([&] {
            while (!held && !ended) Sleep(20);
            Sleep(2000);
            stop = true;
            // Without the cancel the run would wait as long as the database blocks.
            for (int i = 0; i < 600 && !ended; ++i) Sleep(100);
            released = true;
            if (lock) {
                (void)locker.Execute(L"UNLOCK TABLES");
            } else {
                db.Resume();
            }
        });
        Run(root, false, true);
        ended = true;
        const bool endedWhileHeld = !released;
        operatorAndBackup.join();

        EXPECT_TRUE(endedWhileHeld) << "the run waited for the database";
        ASSERT_EQ(window_.outcomes.size(), 1u);
        EXPECT_NE(window_.outcomes[0].ending, RunOutcome::Ending::Succeeded);
        EXPECT_EQ(window_.outcomes[0].notImported, paths.size());
        EXPECT_EQ(db.Query(L"select count(*) from PtpFile")[0][0], L"0");
        EXPECT_EQ(db.Query(L"select count(*) from MD5File")[0][0], L"0");
        ExpectKeptAndNotStored(root, paths);
    }
}

TEST_F(ImportFaultTest, ADatabaseThatVanishesEndsTheRunToo) {
    test::StallableDatabase db;
    UseDatabase(db);
    importer_.SetDatabaseTimeouts(3, 3);
    const std::wstring root = Src(L"gone");
    for (int folder = 0; folder < 6; ++folder) {
        for (int i = 0; i < 10; ++i) {
            test::WriteBytes(
                root + L"\\d" + std::to_wstring(folder) + L"\\f" + std::to_wstring(i) + L".txt",
                "x");
        }
    }
    bool dropped = false;
    SetListingFaultForTest([&](const std::wstring& directory, size_t delivered) -> DWORD {
        if (!dropped && delivered == 0 && directory.ends_with(L"\\d1\\")) {
            static int seen = 0;
            if (++seen == 2) {
                dropped = true;
                db.Drop();
            }
        }
        return ERROR_SUCCESS;
    });
    Run(root, false, true);
    SetListingFaultForTest(nullptr);
    ASSERT_TRUE(dropped);
    db.Resume();
    EXPECT_TRUE(EndMessage().starts_with(msg::kDatabaseLostBefore)) << test::Utf8(EndMessage());
    const size_t registered = std::stoul(*db.Query(L"select count(*) from PtpFile")[0][0]);
    size_t kept = 0;
    for (int folder = 0; folder < 6; ++folder) {
        for (int i = 0; i < 10; ++i) {
            kept += test::Exists(root + L"\\d" + std::to_wstring(folder) + L"\\f" +
                                 std::to_wstring(i) + L".txt");
        }
    }
    EXPECT_EQ(kept + registered, 60u) << "a source goes only with its rows";
}

// Waits until no session but the asking one uses the database: what a session left behind
// held is then committed or rolled back.
bool OtherSessionsEnded(test::TestDatabase& db) {
    for (int i = 0; i < 200; ++i) {
        const auto others =
            db.Query(L"select count(*) from information_schema.PROCESSLIST where DB='" + db.name() +
                     L"' and ID<>CONNECTION_ID()");
        if (others == std::vector<test::Row>{{L"0"}}) return true;
        Sleep(50);
    }
    return false;
}

// A batch's COMMIT held on its way to the server past the client's timeout. Forwarded late, it
// lands after the run counted the batch's rows; dropped, on a server whose default reads
// uncommitted rows, the count saw rows that were then rolled back. Either way a file may have
// its rows only once and its source may go only with its rows.
TEST_F(ImportFaultTest, ACommitWhoseAnswerWasLostIsToldForCertain) {
    using Then = test::CommitHoldingProxy::Then;
    const struct {
        const wchar_t* folder;  // also names its files: the runs share one store
        Then then;
        const wchar_t* isolation;  // the server's default for new connections; null: its own
    } cases[] = {{L"late", Then::Forward, nullptr}, {L"lost", Then::Drop, L"READ-UNCOMMITTED"}};
    constexpr unsigned kStatementSeconds = 2;
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.folder));
        test::StallableDatabase db;
        test::CommitHoldingProxy proxy(db.Settings().server, db.Settings().port);
        ASSERT_TRUE(proxy.ok());
        UseDatabase(db, proxy.Port());
        std::optional<test::GlobalIsolation> isolation(std::in_place, db, c.isolation);
        ASSERT_EQ(isolation->error(), L"");
        importer_.SetDatabaseTimeouts(3, kStatementSeconds);
        const std::wstring root = Src(c.folder);
        std::vector<std::pair<std::wstring, std::string>> files;
        for (int i = 0; i < 6; ++i) {
            files.push_back({c.folder + std::to_wstring(i) + L".txt",
                             "file " + std::to_string(i) + " of " + test::Utf8(c.folder)});
            test::WriteBytes(root + L"\\" + files.back().first, files.back().second);
        }
        proxy.HoldNextCommit((kStatementSeconds + 4) * 1000, c.then);
        Run(root, false, true);
        ASSERT_TRUE(proxy.Released(30000)) << "the batch's COMMIT was held";
        ASSERT_TRUE(OtherSessionsEnded(db));
        isolation.reset();

        for (const wchar_t* column : {L"Msg_ID", L"FilPath"}) {
            EXPECT_EQ(db.Query(L"select count(*) from (select " + std::wstring(column) +
                               L" from PtpFile group by " + column + L" having count(*) > 1) d"),
                      (std::vector<test::Row>{{L"0"}}))
                << "PtpFile rows twice by " << test::Utf8(column);
        }
        size_t withRows = 0;
        for (const auto& [name, bytes] : files) {
            const std::wstring path = root + L"\\" + name;
            const std::wstring filPath = L"DownLoad/Public/" + name;
            const auto file =
                db.Query(L"select count(*) from PtpFile where FilPath='" + filPath + L"'");
            const auto digest =
                db.Query(L"select PcSize, MD5Hash from MD5File where FilPath='" + filPath + L"'");
            const bool landed = file == std::vector<test::Row>{{L"1"}} && digest.size() == 1;
            withRows += landed;
            if (!landed) {
                EXPECT_TRUE(std::any_of(importer_.Failures().begin(), importer_.Failures().end(),
                                        [&](const auto& f) { return f.path == path; }))
                    << test::Utf8(path) << " is not imported once and not reported";
            }
            if (test::Exists(path)) continue;
            EXPECT_TRUE(landed) << test::Utf8(path) << " is gone without one row in each table";
            if (!landed) continue;
            EXPECT_EQ(digest[0], (test::Row{std::to_wstring(bytes.size()), test::Md5Lower(bytes)}))
                << test::Utf8(path);
            EXPECT_EQ(test::ReadBytes(StoreFile(filPath)), bytes) << test::Utf8(path);
        }
        ASSERT_EQ(window_.outcomes.size(), 1u);
        if (withRows < files.size()) {
            EXPECT_NE(window_.outcomes[0].ending, RunOutcome::Ending::Succeeded)
                << test::Utf8(EndMessage());
            EXPECT_GE(window_.outcomes[0].notImported, files.size() - withRows);
        }
        // The lost session could be ended here, so nothing was left in doubt.
        EXPECT_EQ(withRows, files.size());
        window_.outcomes.clear();
        window_.boxes.clear();
    }
}

}  // namespace
}  // namespace ksr
