// What the import must never do to an operator's documents, whatever the tree, the server or
// the disk does: delete a source whose exact bytes the store does not hold under its own rows,
// write rows that name other bytes, or end in success after a failure.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "app/message_texts.h"
#include "engine/failure_reason.h"
#include "engine/log_texts.h"
#include "engine/names.h"
#include "import_test_support.h"
#include "support/digest.h"
#include "support/unix_link.h"
#include "util/dir_listing.h"
#include "util/handles.h"

namespace ksr {
namespace {

using test::ListingFault;
using test::Md5Lower;
using test::Row;

// Writes a file under its raw name, which ordinary path parsing might alter.
bool WriteRaw(const std::wstring& path, const std::string& bytes) {
    unique_hfile file(CreateFileW((L"\\\\?\\" + path).c_str(), GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file &&
           WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr) &&
           written == bytes.size();
}

std::string ReadRaw(const std::wstring& path) {
    return test::ReadBytes(L"\\\\?\\" + path);
}

class ImportSafetyTest : public test::ImportTest {
  protected:
    std::wstring Count(const std::wstring& sql) { return Rows(sql)[0][0].value_or(L"null"); }
    std::wstring EndText() const { return EndMessage(); }
    static std::wstring PartlyFailed(int items) {
        return msg::kPartlyFailedBefore + std::to_wstring(items) + msg::kPartlyFailedAfter;
    }
    // The reasons the run gave for `path`.
    std::vector<std::wstring> ReasonsFor(const std::wstring& path) const {
        std::vector<std::wstring> reasons;
        for (const auto& failure : importer_.Failures()) {
            if (failure.path == path) reasons.push_back(failure.reason);
        }
        return reasons;
    }
    // The digest the newest MD5File row gives the store file `filPath`.
    std::wstring NewestDigest(const std::wstring& filPath) {
        const auto rows = Rows(L"select MD5Hash from MD5File where FilPath='" + filPath +
                               L"' order by MD5FileID desc limit 1");
        return rows.empty() ? L"(no row)" : rows[0][0].value_or(L"");
    }
    // Every file row names a store file of exactly the size and digest it records.
    void ExpectEveryRowNamesItsBytes() {
        for (const Row& row : Rows(L"select FilPath, PcSize, MD5Hash from MD5File")) {
            const std::string bytes = test::ReadBytes(StoreFile(*row[0]));
            EXPECT_TRUE(test::Exists(StoreFile(*row[0]))) << test::Utf8(*row[0]);
            EXPECT_EQ(std::to_wstring(bytes.size()), *row[1]) << test::Utf8(*row[0]);
            EXPECT_EQ(bytes.empty() ? L"" : Md5Lower(bytes), *row[2]) << test::Utf8(*row[0]);
        }
    }
    // Every source is either still there or its bytes are in the store file named.
    void ExpectKeptOrStored(const std::wstring& source, const std::string& bytes,
                            const std::wstring& filPath) {
        if (test::Exists(source)) return;
        EXPECT_EQ(test::ReadBytes(StoreFile(filPath)), bytes)
            << test::Utf8(source) << " is gone and the store does not hold its bytes";
    }
};

// ---- Names that clean to one store file ----

// The store only grows: of the files a run writes to one store path, the first in listing order
// is imported; each later one meets it, and is imported only when it holds the same bytes.
TEST_F(ImportSafetyTest, OfFilesThatShareAStorePathTheFirstIsImported) {
    const std::wstring root = Src(L"docs");
    test::WriteBytes(root + L"\\a b.txt", "with a space");
    test::WriteBytes(root + L"\\a\u00A0b.txt", "with a no-break space");
    test::WriteBytes(root + L"\\s b.txt", "the same");
    test::WriteBytes(root + L"\\s\u00A0b.txt", "the same");
    test::WriteBytes(root + L"\\case.txt", "lower case");
    for (const wchar_t* folder : {L"R&D", L"R D", L"R'D"}) {
        for (int i = 0; i < 70; ++i) {
            test::WriteBytes(root + L"\\" + folder + L"\\x" + std::to_wstring(i) + L".txt",
                             "x of " + test::Utf8(folder));
        }
    }
    // Letter case alone tells these two apart in a case-sensitive folder. Looked up by name,
    // CASE.txt would be found as case.txt at once: the listing tells when it is there.
    ASSERT_TRUE(test::StartUnix(L"Z:\\bin\\sh -c \"printf UPPER > '" + test::UnixName(root) +
                                L"/CASE.txt'\""));
    std::vector<std::wstring> order = test::ListingOrder(root);
    for (int i = 0; i < 250 && std::find(order.begin(), order.end(), L"CASE.txt") == order.end();
         ++i) {
        Sleep(20);
        order = test::ListingOrder(root);
    }
    ASSERT_EQ(order.size(), 9u);
    const auto first = [&](const wchar_t* a, const wchar_t* b) {
        return std::find(order.begin(), order.end(), a) < std::find(order.begin(), order.end(), b)
                   ? std::wstring(a)
                   : std::wstring(b);
    };
    Run(root, false, true);

    const std::wstring firstSpace = first(L"a b.txt", L"a\u00A0b.txt");
    const std::wstring later = firstSpace == L"a b.txt" ? L"a\u00A0b.txt" : L"a b.txt";
    EXPECT_FALSE(test::Exists(root + L"\\" + firstSpace)) << "imported and deleted";
    EXPECT_EQ(ReasonsFor(root + L"\\" + later),
              std::vector<std::wstring>{reason::kStoreFileDiffers +
                                        StoreFile(L"DownLoad/Public/a b.txt")});
    for (const wchar_t* name : {L"s b.txt", L"s\u00A0b.txt"}) {
        EXPECT_FALSE(test::Exists(root + L"\\" + name)) << "the same bytes: imported too";
    }
    EXPECT_EQ(test::ListingOrder(root).size(), order.size() - 4)
        << "one of case.txt and CASE.txt stays";
    // One folder's files are imported, the other two folders' are kept and reported.
    size_t kept = 0;
    for (const wchar_t* folder : {L"R&D", L"R D", L"R'D"}) {
        kept += test::ListNames(root + L"\\" + folder).size();
    }
    EXPECT_EQ(kept, 140u);
    EXPECT_EQ(importer_.Failures().size(), 142u);
    ExpectEveryRowNamesItsBytes();
    EXPECT_EQ(EndText(), PartlyFailed(142));
}

// Without deletion nothing is at stake but the rows: every row names bytes the store holds,
// however the copies overlapped.
TEST_F(ImportSafetyTest, EveryRowNamesTheBytesTheStoreKeeps) {
    const std::wstring root = Src(L"many");
    for (const wchar_t* folder : {L"A&B", L"A B", L"A%B", L"A'B"}) {
        for (int i = 0; i < 24; ++i) {
            test::WriteBytes(root + L"\\" + folder + L"\\f" + std::to_wstring(i) + L".txt",
                             std::string(1 + i * 977 % 5000, static_cast<char>('a' + i % 26)) +
                                 test::Utf8(folder));
        }
    }
    Run(root);
    ExpectEveryRowNamesItsBytes();
    EXPECT_EQ(EndText(), PartlyFailed(72));
}

TEST_F(ImportSafetyTest, AFileThatAppearsAfterTheSurveyOverwritesNothing) {
    const std::wstring root = Src(L"late");
    test::WriteBytes(root + L"\\R&D\\x.txt", "surveyed");
    test::MakeDirs(root + L"\\R D");
    int rootListings = 0;
    const std::wstring rootListing = L"\\late\\";
    ListingFault fault([&](const std::wstring& directory, size_t delivered) -> DWORD {
        // The second listing of the chosen folder is the walk's: the survey is over.
        if (delivered == 0 && directory.ends_with(rootListing) && ++rootListings == 2) {
            test::WriteBytes(root + L"\\R D\\x.txt", "appeared later");
        }
        return ERROR_SUCCESS;
    });
    Run(root, false, true);

    ExpectKeptOrStored(root + L"\\R&D\\x.txt", "surveyed", L"DownLoad/Public/R D/x.txt");
    ExpectKeptOrStored(root + L"\\R D\\x.txt", "appeared later", L"DownLoad/Public/R D/x.txt");
    EXPECT_TRUE(test::Exists(root + L"\\R&D\\x.txt") || test::Exists(root + L"\\R D\\x.txt"))
        << "one of the two was kept";
    EXPECT_EQ(NewestDigest(L"DownLoad/Public/R D/x.txt"),
              Md5Lower(test::ReadBytes(StoreFile(L"DownLoad/Public/R D/x.txt"))));
    EXPECT_EQ(EndText(), PartlyFailed(1));
}

// ---- The chosen folder and the store ----

TEST_F(ImportSafetyTest, FoldersThatOverlapTheStoreAreRefusedBeforeAnythingIsWritten) {
    test::WriteBytes(server_.store + L"\\DownLoad\\Public\\kept.txt", "the server's own file");
    test::WriteBytes(Src(L"docs\\a.txt"), "a");
    std::wstring upper = server_.dir.path();
    CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
    struct Case {
        std::wstring chosen, named;
    };
    const Case cases[] = {
        {server_.dir.path(), server_.store},                // holds the store
        {upper + L"\\", server_.store},                     // the same, in other letters
        {server_.store + L"\\DownLoad", server_.store},     // inside the store
        {server_.store, server_.store},                     // the store itself
        {L"D:\\", L"KSRtemp"},                              // holds the holding directory
        {server_.dir / L"Tavrin KSR", server_.installDir},  // holds the server's program
        {server_.installDir + L"\\public\\Data", server_.installDir},  // its settings
    };
    for (const Case& c : cases) {
        window_.boxes.clear();
        Run(c.chosen, false, true);
        ASSERT_EQ(window_.boxes.size(), 1u) << test::Utf8(c.chosen);
        const std::wstring& text = window_.boxes[0].text;
        EXPECT_TRUE(text.starts_with(msg::kOverlapBefore)) << test::Utf8(text);
        EXPECT_TRUE(text.ends_with(msg::kOverlapAfter)) << test::Utf8(text);
        EXPECT_NE(text.find(c.named), std::wstring::npos) << test::Utf8(text);
        EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK));
        EXPECT_FALSE(state_.DeleteAfterImport);
    }
    EXPECT_EQ(Rows(L"select PtpFile_Vesr, PtpFolder_Vesr from UpDateForm")[0], (Row{L"0", L"0"}))
        << "no counters bumped";
    EXPECT_EQ(Count(L"select count(*) from PtpFolder"), L"0");
    EXPECT_EQ(Count(L"select count(*) from PtpFile"), L"0");
    EXPECT_EQ(window_.list1Clears, 0) << "a refused run leaves List1 alone";
    EXPECT_EQ(test::ListNames(server_.store + L"\\DownLoad\\Public"),
              std::vector<std::wstring>{L"kept.txt"});
    EXPECT_TRUE(test::Exists(Src(L"docs\\a.txt")));
}

TEST_F(ImportSafetyTest, TypedPathsMustBeAbsoluteAndLocal) {
    test::WriteBytes(Src(L"docs\\a.txt"), "a");
    for (const std::wstring& typed :
         {std::wstring(L"docs"), std::wstring(L"..\\docs"), std::wstring(L"C:docs"),
          Src(L"x\\..\\docs"), Src(L".\\docs"), std::wstring(L"\\\\server\\share\\docs"),
          std::wstring(L"\\docs")}) {
        window_.boxes.clear();
        Run(typed, false, true);
        ASSERT_EQ(window_.boxes.size(), 1u) << test::Utf8(typed);
        EXPECT_EQ(window_.boxes[0].text, msg::kChoosePath) << test::Utf8(typed);
        EXPECT_FALSE(state_.DeleteAfterImport);
    }
    EXPECT_EQ(Count(L"select PtpFile_Vesr from UpDateForm"), L"0");
    EXPECT_TRUE(test::Exists(Src(L"docs\\a.txt")));
}

// Text1 holds the folder as it stands: "+" and "%" are characters of names, never escapes, so a
// folder whose name reads like an escaped one is imported, and the look-alike is left alone.
TEST_F(ImportSafetyTest, TypedPathsImportExactlyTheFolderTheyName) {
    struct Case {
        std::wstring typed;      // below the sources
        std::wstring lookalike;  // the folder the text names once unescaped, when that differs
    };
    const Case cases[] = {
        {L"a+b", L"a b"},       // unescaped, "+" is a blank
        {L"100%\\季度", L""},   // a "%" that starts no escape
        {L"100%41", L"100A"},   // unescaped, "%41" is "A"
        {L"%E5%85%AC", L"公"},  // the UTF-8 escapes of 公
        {L"公司文档", L""},     // a name outside seven bits
    };
    for (const Case& c : cases) {
        test::WriteBytes(Src(c.typed + L"\\f.txt"), test::Utf8(c.typed));
        if (!c.lookalike.empty()) test::WriteBytes(Src(c.lookalike + L"\\f.txt"), "look-alike");
    }
    std::vector<std::wstring> stored, filPaths;
    for (const Case& c : cases) {
        const std::wstring root = Src(c.typed);
        const std::wstring leaf = LastPathSegment(root).value();
        Run(root, true, true);
        const std::string what = test::Utf8(c.typed);
        EXPECT_EQ(EndText(), msg::kSucceeded) << what;
        EXPECT_EQ(state_.RootFolderName, leaf) << what;
        filPaths.push_back(L"DownLoad/Public/" + CleanFolderName(leaf) + L"/f.txt");
        EXPECT_EQ(test::ReadBytes(StoreFile(filPaths.back())), what);
        EXPECT_FALSE(test::Exists(root + L"\\f.txt")) << what << ": imported, so its source goes";
        stored.push_back(CleanFolderName(leaf));
        std::sort(stored.begin(), stored.end());
        EXPECT_EQ(test::ListNames(server_.store + L"\\DownLoad\\Public"), stored) << what;
        std::vector<std::wstring> lines;
        for (const std::wstring& line : window_.list1) lines.push_back(line.substr(45));
        const std::wstring cleaned = L"[type:19]: " + root + L" " + logtext::kRootCleaned;
        EXPECT_EQ(lines, FolderNameNeedsCleaning(leaf) ? std::vector<std::wstring>{cleaned}
                                                       : std::vector<std::wstring>{})
            << what;
    }
    std::vector<std::wstring> rows;
    for (const Row& row : Rows(L"select FilPath from PtpFile order by PtpFileID")) {
        rows.push_back(*row[0]);
    }
    EXPECT_EQ(rows, filPaths);
    for (const Case& c : cases) {
        if (c.lookalike.empty()) continue;
        EXPECT_EQ(test::ReadBytes(Src(c.lookalike + L"\\f.txt")), "look-alike")
            << test::Utf8(c.lookalike);
    }
}

// ---- Names that path parsing alters ----

TEST_F(ImportSafetyTest, NamesThatPathParsingAltersAreReportedAndKept) {
    const std::wstring root = Src(L"odd");
    test::WriteBytes(root + L"\\a.txt", "plain");
    ASSERT_TRUE(WriteRaw(root + L"\\a.txt.", "with a dot"));
    test::MakeDirs(root + L"\\v1");
    test::WriteBytes(root + L"\\v1\\in.txt", "in v1");
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + root + L"\\v1.").c_str(), nullptr));
    ASSERT_TRUE(WriteRaw(root + L"\\v1.\\in.txt", "in v1 with a dot"));
    // Cleaned, its name would end in a blank, which the server's path parsing drops.
    test::WriteBytes(root + L"\\g\u00A0", "ends in a no-break space");
    test::WriteBytes(root + L"\\R&\\in.txt", "its folder's cleaned name ends in a blank");
    test::WriteBytes(root + L"\\CON%\\in.txt", "its folder's cleaned name is a device");
    Run(root, false, true);

    EXPECT_EQ(ReadRaw(root + L"\\a.txt."), "with a dot") << "kept, never copied as a.txt";
    EXPECT_EQ(ReadRaw(root + L"\\v1.\\in.txt"), "in v1 with a dot");
    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/a.txt")), "plain");
    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/v1/in.txt")), "in v1");
    EXPECT_EQ(Count(L"select count(*) from PtpFile where TypePath like 'a.txt%'"), L"1");
    EXPECT_EQ(Count(L"select count(*) from PtpFolder where UsName like 'v1%'"), L"1");
    EXPECT_EQ(ReasonsFor(root + L"\\a.txt."), std::vector<std::wstring>{reason::kNameNotServable});
    EXPECT_EQ(ReasonsFor(root + L"\\v1.\\"), std::vector<std::wstring>{reason::kNameNotServable});
    EXPECT_EQ(ReasonsFor(root + L"\\g\u00A0"), std::vector<std::wstring>{reason::kNameNotServable});
    for (const wchar_t* folder : {L"\\R&\\", L"\\CON%\\"}) {
        EXPECT_EQ(ReasonsFor(root + folder), std::vector<std::wstring>{reason::kNameNotServable});
        EXPECT_TRUE(test::Exists(root + folder + L"in.txt"));
    }
    EXPECT_EQ(test::ReadBytes(root + L"\\g\u00A0"), "ends in a no-break space");
    EXPECT_EQ(Count(L"select count(*) from PtpFile where TypePath like 'g%'"), L"0");
    EXPECT_FALSE(test::Exists(root + L"\\a.txt"));
    EXPECT_EQ(EndText(), PartlyFailed(5));
}

// ---- Both rows or none ----

TEST_F(ImportSafetyTest, AFileWhoseSecondRowIsRefusedKeepsNoRowAndItsSource) {
    ASSERT_EQ(server_.db.Exec(L"alter table MD5File add constraint no_bad check "
                              L"(TypePath <> 'bad.txt')"),
              L"");
    const std::wstring root = Src(L"rows");
    test::WriteBytes(root + L"\\bad.txt", "refused");
    test::WriteBytes(root + L"\\good.txt", "accepted");
    Run(root, false, true);

    EXPECT_EQ(Count(L"select count(*) from PtpFile where TypePath='bad.txt'"), L"0");
    EXPECT_EQ(Count(L"select count(*) from MD5File where TypePath='bad.txt'"), L"0");
    EXPECT_EQ(Count(L"select count(*) from PtpFile where TypePath='good.txt'"), L"1");
    EXPECT_TRUE(test::Exists(root + L"\\bad.txt"));
    EXPECT_FALSE(test::Exists(root + L"\\good.txt"));
    const auto reasons = ReasonsFor(root + L"\\bad.txt");
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_TRUE(reasons[0].starts_with(L"SQLSTATE ")) << test::Utf8(reasons[0]);
    EXPECT_EQ(EndText(), PartlyFailed(1));
}

// Across runs the store only grows: a later import meets what earlier ones left, whatever the
// later one's rows or sources do.
TEST_F(ImportSafetyTest, ALaterRunReplacesNothingAnEarlierOneStored) {
    test::WriteBytes(Src(L"A\\通知.txt"), "A's notice");
    test::WriteBytes(Src(L"A\\same.txt"), "same");
    test::WriteBytes(Src(L"A\\Reports"), "a file named like B's folder");
    test::WriteBytes(Src(L"A\\sub\\x.txt"), "x");
    Run(Src(L"A"), false, true);
    ASSERT_EQ(EndText(), msg::kSucceeded);

    test::WriteBytes(Src(L"B\\通知.txt"), "B's notice");
    test::WriteBytes(Src(L"B\\same.txt"), "same");
    test::WriteBytes(Src(L"B\\Reports\\r.txt"), "r");
    test::WriteBytes(Src(L"B\\sub"), "a file named like A's folder");
    test::WriteBytes(Src(L"B\\refused.txt"), "its rows fail");
    ASSERT_EQ(server_.db.Exec(L"alter table MD5File add constraint no_refused check (MD5Hash <> '" +
                              Md5Lower("its rows fail") + L"')"),
              L"");
    Run(Src(L"B"), false, true);

    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/通知.txt")), "A's notice");
    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/Reports")),
              "a file named like B's folder");
    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/sub/x.txt")), "x");
    EXPECT_EQ(ReasonsFor(Src(L"B\\通知.txt")),
              std::vector<std::wstring>{reason::kStoreFileDiffers +
                                        StoreFile(L"DownLoad/Public/通知.txt")});
    EXPECT_EQ(
        ReasonsFor(Src(L"B\\sub")),
        std::vector<std::wstring>{reason::kStoreEntryTaken + StoreFile(L"DownLoad/Public/sub")});
    EXPECT_FALSE(test::Exists(Src(L"B\\same.txt"))) << "the same bytes are imported";
    for (const wchar_t* kept :
         {L"B\\通知.txt", L"B\\Reports\\r.txt", L"B\\sub", L"B\\refused.txt"}) {
        EXPECT_TRUE(test::Exists(Src(kept))) << test::Utf8(kept);
        EXPECT_FALSE(ReasonsFor(Src(kept)).empty()) << test::Utf8(kept);
    }
    EXPECT_FALSE(test::Exists(StoreFile(L"DownLoad/Public/refused.txt")))
        << "a copy whose rows failed goes";
    ExpectEveryRowNamesItsBytes();
    // The folder Reports\ whose store directory is a file is reported too.
    EXPECT_EQ(EndText(), PartlyFailed(5));
}

TEST_F(ImportSafetyTest, AStoppedRunLogsWhatItLeft) {
    const std::wstring root = Src(L"halt");
    for (int i = 0; i < 6; ++i) test::WriteBytes(root + L"\\f" + std::to_wstring(i) + L".txt", "x");
    std::atomic<int> asked = 0;
    window_.stop = [&] { return ++asked > 2; };
    Run(root);
    EXPECT_EQ(ReasonsFor(root + L"\\"), std::vector<std::wstring>{reason::kStopped});
    ASSERT_FALSE(window_.list1.empty());
    EXPECT_NE(window_.list1.back().find(L"[type:18]: " + root + L"\\ " + logtext::kFolderFailed),
              std::wstring::npos);
    EXPECT_NE(window_.boxes.back().text.find(std::wstring(msg::kStoppedCountBefore) + L"4" +
                                             msg::kStoppedCountAfter),
              std::wstring::npos)
        << test::Utf8(window_.boxes.back().text);
}

// ---- The source stays what was copied until it is deleted ----

TEST_F(ImportSafetyTest, ASourceThatCannotBeHeldIsImportedButKept) {
    const std::wstring root = Src(L"held");
    test::WriteBytes(root + L"\\open.txt", "someone has me open");
    test::WriteBytes(root + L"\\free.txt", "free");
    unique_hfile other(CreateFileW((root + L"\\open.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    Run(root, false, true);
    other.reset();

    EXPECT_TRUE(test::Exists(root + L"\\open.txt"));
    EXPECT_FALSE(test::Exists(root + L"\\free.txt"));
    EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/open.txt")), "someone has me open");
    EXPECT_EQ(Count(L"select count(*) from PtpFile where TypePath='open.txt'"), L"1");
    const auto reasons = ReasonsFor(root + L"\\open.txt");
    ASSERT_EQ(reasons.size(), 1u);
    // Windows refuses to hold it for deletion; Wine holds it and then refuses the deletion.
    EXPECT_TRUE(reasons[0].starts_with(reason::kNotHeld) ||
                reasons[0].starts_with(reason::kNotDeleted))
        << test::Utf8(reasons[0]);
    ASSERT_EQ(window_.list1.size(), 1u);
    EXPECT_NE(window_.list1[0].find(std::wstring(L"[type:18]: ") + root + L"\\open.txt " +
                                    logtext::kSourceKept),
              std::wstring::npos);
    EXPECT_EQ(EndText(), PartlyFailed(1));
}

// Sources go on threads of their own once their batch's rows are in, while later batches are
// written: a file whose rows are refused in a later batch keeps its source, ones that cannot be
// deleted say so, and the lines come in the walk's order all the same.
TEST_F(ImportSafetyTest, SourcesGoOnlyAfterTheirOwnRowsAcrossBatches) {
    const std::wstring root = Src(L"many");
    const auto name = [](int i) {
        wchar_t text[16];
        swprintf(text, 16, L"f%03d.txt", i);
        return std::wstring(text);
    };
    for (int i = 0; i < 800; ++i) {
        test::WriteBytes(root + L"\\" + name(i), "file " + std::to_string(i));
    }
    ASSERT_EQ(server_.db.Exec(L"alter table MD5File add constraint no_f280 check "
                              L"(TypePath <> 'f280.txt')"),
              L"");
    const auto holdOpen = [&](int i) {
        return unique_hfile(CreateFileW((root + L"\\" + name(i)).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    };
    unique_hfile first = holdOpen(10), last = holdOpen(790);
    ASSERT_TRUE(first && last);
    Run(root, false, true);
    first.reset();
    last.reset();

    EXPECT_EQ(Count(L"select count(*) from PtpFile where TypePath='f280.txt'"), L"0");
    EXPECT_TRUE(test::Exists(root + L"\\f280.txt")) << "deleted although its rows failed";
    EXPECT_EQ(test::ListNames(root),
              (std::vector<std::wstring>{L"f010.txt", L"f280.txt", L"f790.txt"}));
    for (int i : {0, 9, 11, 255, 256, 279, 281, 511, 512, 767, 768, 799}) {
        EXPECT_EQ(test::ReadBytes(StoreFile(L"DownLoad/Public/" + name(i))),
                  "file " + std::to_string(i));
    }
    for (int i : {10, 790}) {
        const auto held = ReasonsFor(root + L"\\" + name(i));
        ASSERT_EQ(held.size(), 1u) << i;
        EXPECT_TRUE(held[0].starts_with(reason::kNotHeld) ||
                    held[0].starts_with(reason::kNotDeleted))
            << test::Utf8(held[0]);
    }
    const auto refused = ReasonsFor(root + L"\\f280.txt");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused[0].starts_with(L"SQLSTATE ")) << test::Utf8(refused[0]);

    // The lines come in the order the walk met the files.
    const std::vector<std::wstring> order = test::ListingOrder(root);
    ASSERT_EQ(order.size(), 3u);
    ASSERT_EQ(window_.list1.size(), 3u);
    for (size_t i = 0; i < order.size(); ++i) {
        EXPECT_NE(window_.list1[i].find(root + L"\\" + order[i] + L" "), std::wstring::npos)
            << test::Utf8(window_.list1[i]);
        EXPECT_NE(window_.list1[i].find(order[i] == L"f280.txt" ? logtext::kFileFailed
                                                                : logtext::kSourceKept),
                  std::wstring::npos)
            << test::Utf8(window_.list1[i]);
    }
    EXPECT_EQ(EndText(), PartlyFailed(3));
}

// ---- Gaps that must not pass for success ----

TEST_F(ImportSafetyTest, AListingThatBreaksOffPartWayIsReportedOnce) {
    const std::wstring root = Src(L"gap");
    for (int i = 0; i < 4; ++i) {
        test::WriteBytes(root + L"\\sub\\f" + std::to_wstring(i) + L".txt", "x");
    }
    test::WriteBytes(root + L"\\top.txt", "top");
    ListingFault fault([](const std::wstring& directory, size_t delivered) -> DWORD {
        return directory.ends_with(L"\\sub\\") && delivered == 1 ? ERROR_NETNAME_DELETED
                                                                 : ERROR_SUCCESS;
    });
    Run(root);

    const auto reasons = ReasonsFor(root + L"\\sub\\");
    ASSERT_EQ(reasons.size(), 1u) << "the survey and the walk meet it; it is one item";
    EXPECT_TRUE(reasons[0].starts_with(reason::kListingBroken)) << test::Utf8(reasons[0]);
    EXPECT_EQ(Count(L"select count(*) from PtpFile"), L"2") << "top.txt and the one listed";
    EXPECT_EQ(EndText(), PartlyFailed(1));
}

// A report's reason keeps the Win32 error or the SQLSTATE of the failure behind it.
TEST_F(ImportSafetyTest, ReasonsKeepTheWin32ErrorOrTheSqlstate) {
    const std::wstring root = Src(L"causes");
    for (int i = 0; i < 3; ++i) {
        test::WriteBytes(root + L"\\sub\\f" + std::to_wstring(i) + L".txt", "x");
    }
    test::WriteBytes(root + L"\\refused\\lost.txt", "lost");
    ASSERT_EQ(server_.db.Exec(L"create trigger refuse before insert on PtpFolder for each row "
                              L"if NEW.UsName = 'refused' then signal sqlstate '45000'; end if"),
              L"");
    ListingFault fault([](const std::wstring& directory, size_t delivered) -> DWORD {
        return directory.ends_with(L"\\sub\\") && delivered == 1 ? ERROR_NETNAME_DELETED
                                                                 : ERROR_SUCCESS;
    });
    Run(root);

    EXPECT_EQ(
        ReasonsFor(root + L"\\sub\\"),
        std::vector<std::wstring>{reason::kListingBroken + Win32Reason(ERROR_NETNAME_DELETED)});
    const auto refused = ReasonsFor(root + L"\\refused\\");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_TRUE(refused[0].starts_with(L"SQLSTATE 45000")) << test::Utf8(refused[0]);
}

TEST_F(ImportSafetyTest, ARootFolderThatCannotBeRegisteredSaysWhy) {
    const std::wstring gone = Src(L"gone");
    Run(gone, true);
    EXPECT_EQ(
        ReasonsFor(gone + L"\\"),
        std::vector<std::wstring>{reason::kRootNotRegistered + Win32Reason(ERROR_FILE_NOT_FOUND)});
}

TEST_F(ImportSafetyTest, ARootFolderTheDatabaseRefusesSaysWhy) {
    const std::wstring root = Src(L"refused");
    test::WriteBytes(root + L"\\a.txt", "a");
    ASSERT_EQ(server_.db.Exec(L"create trigger refuse before insert on PtpFolder for each row "
                              L"signal sqlstate '45000'"),
              L"");
    Run(root, true);
    const auto reasons = ReasonsFor(root + L"\\");
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_TRUE(
        reasons[0].starts_with(std::wstring(reason::kRootNotRegistered) + L"SQLSTATE 45000"))
        << test::Utf8(reasons[0]);
    EXPECT_EQ(Count(L"select count(*) from PtpFile"), L"0");
    EXPECT_TRUE(test::Exists(root + L"\\a.txt"));
}

// A source kept because it could not be held or deleted says which error kept it.
TEST_F(ImportSafetyTest, AKeptSourceSaysWhichErrorKeptIt) {
    const std::wstring root = Src(L"held");
    test::WriteBytes(root + L"\\open.txt", "someone has me open");
    unique_hfile other(CreateFileW((root + L"\\open.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                                   nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(other);
    Run(root, false, true);
    other.reset();
    const auto reasons = ReasonsFor(root + L"\\open.txt");
    ASSERT_EQ(reasons.size(), 1u);
    EXPECT_NE(reasons[0].find(L"(错误 "), std::wstring::npos) << test::Utf8(reasons[0]);
    EXPECT_EQ(reasons[0].find(L"(错误 0)"), std::wstring::npos) << test::Utf8(reasons[0]);
}

TEST_F(ImportSafetyTest, ALogOrVersionCounterThatFailsIsSaid) {
    const std::wstring root = Src(L"fine");
    test::WriteBytes(root + L"\\a.txt", "a");
    // A file where the log's folder belongs: the log can't be written.
    test::WriteBytes(server_.store + L"\\log", "not a folder");
    ASSERT_EQ(server_.db.Exec(L"drop table UpDateForm"), L"");
    Run(root);

    EXPECT_EQ(Count(L"select count(*) from PtpFile"), L"1");
    const std::wstring text = window_.boxes.back().text;
    EXPECT_TRUE(text.starts_with(msg::kAllImported)) << test::Utf8(text);
    EXPECT_NE(text.find(msg::kLogNotWritten), std::wstring::npos);
    EXPECT_NE(text.find(msg::kVersionsNotBumped), std::wstring::npos);
    EXPECT_EQ(window_.boxes.back().type, static_cast<unsigned>(MB_OK | MB_ICONWARNING));
}

// ---- Unexpected errors end the run as failed, with its log ----

TEST_F(ImportSafetyTest, AnExceptionEndsTheRunAsFailedWithItsLog) {
    const std::wstring root = Src(L"boom");
    test::WriteBytes(root + L"\\a.txt", "a");
    test::WriteBytes(root + L"\\deep\\b.txt", "b");
    ListingFault fault([](const std::wstring& directory, size_t) -> DWORD {
        // Thrown in the survey's threads and in the walk alike.
        if (directory.ends_with(L"\\deep\\")) throw std::bad_alloc();
        return ERROR_SUCCESS;
    });
    Run(root, false, true);

    EXPECT_TRUE(test::Exists(root + L"\\deep\\b.txt"));
    EXPECT_NE(EndText(), msg::kSucceeded);
    EXPECT_TRUE(EndText().starts_with(msg::kPartlyFailedBefore)) << test::Utf8(EndText());
    EXPECT_FALSE(state_.DeleteAfterImport);
    EXPECT_EQ(window_.outcomes.size(), 1u) << "the run tells the window once how it ended";
    EXPECT_FALSE(importer_.Failures().empty());
    EXPECT_TRUE(
        std::any_of(importer_.Failures().begin(), importer_.Failures().end(),
                    [](const auto& f) { return f.reason.starts_with(reason::kUnexpected); }));
}

// ---- Another writer's folders ----

TEST_F(ImportSafetyTest, FoldersOthersCreateDuringTheRunDoNotAdoptOurFiles) {
    const std::wstring root = Src(L"ours");
    for (int i = 0; i < 40; ++i) {
        test::WriteBytes(root + L"\\folder" + std::to_wstring(i) + L"\\f.txt",
                         "in folder" + std::to_string(i));
    }
    std::atomic<bool> done{false};
    std::thread other([&] {
        // A client creating public folders while the import runs.
        test::TestDatabase* db = &server_.db;
        while (!done) {
            db->Exec(
                L"insert into PtpFolder(MyID,UsName,ParentID,To_Type,CreatorID,CreatorName) "
                L"values('Public','theirs','77',1,'1','admin')");
        }
    });
    Run(root);
    done = true;
    other.join();

    const auto files = Rows(
        L"select f.TypePath, d.UsName, d.ParentID, f.FilPath from PtpFile f join PtpFolder d on "
        L"d.PtpFolderID = f.PtpFolderID");
    ASSERT_EQ(files.size(), 40u);
    for (const Row& file : files) {
        EXPECT_EQ(L"DownLoad/Public/" + *file[1] + L"/f.txt", file[3]);
        EXPECT_EQ(file[2], L"0");
    }
}

}  // namespace
}  // namespace ksr
