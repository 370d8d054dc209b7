// A check walks the tree and the store as a run would and changes nothing anywhere; what it says a
// run would not import is exactly what a run then does not import.
#include <windows.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <utility>

#include "engine/failure_reason.h"
#include "engine/log_texts.h"
#include "import_test_support.h"
#include "support/digest.h"
#include "support/unix_link.h"
#include "util/handles.h"

namespace ksr {
namespace {

using test::ListingFault;
using Item = std::pair<std::wstring, ItemKind>;  // a path the run named, and as what

constexpr wchar_t kHolding[] = L"D:\\KSRtemp";

// Every entry below `dir` by its path there, with the digest of a file's bytes or what else it
// is. Directory links are named, not followed. Listed without the engine's listing, which a
// test's listing fault would reach.
void Tree(const std::wstring& dir, const std::wstring& prefix,
          std::map<std::wstring, std::wstring>& entries) {
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileW(ToExtendedPath(dir + L"\\*").c_str(), &entry));
    if (!find) return;
    do {
        if (IsDotEntry(entry.cFileName)) continue;
        const std::wstring path = dir + L"\\" + entry.cFileName;
        const std::wstring name = prefix + entry.cFileName;
        if (IsDirectoryLink(entry.dwFileAttributes)) {
            entries[name] = L"(link)";
        } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            entries[name] = L"(folder)";
            Tree(path, name + L"\\", entries);
        } else {
            entries[name] = test::FileMd5Hex(path).value_or(L"(unreadable)") + L" " +
                            std::to_wstring(entry.dwFileAttributes & FILE_ATTRIBUTE_SYSTEM);
        }
    } while (FindNextFileW(find.get(), &entry));
}

std::map<std::wstring, std::wstring> Tree(const std::wstring& dir) {
    std::map<std::wstring, std::wstring> entries;
    Tree(dir, L"", entries);
    return entries;
}

class ImportCheckTest : public test::ImportTest {
  protected:
    // Everything a run may change: the store (with the server log below it), the sources, the
    // holding directory, the reports, every table's rows and the version counters.
    struct World {
        std::map<std::wstring, std::wstring> store, sources, holding, reports;
        std::vector<test::Row> rows;
        bool operator==(const World&) const = default;
    };
    World Snapshot(const std::wstring& root) {
        return {Tree(server_.store), Tree(root), Tree(kHolding), Tree(server_.dir / L"reports"),
                Rows(L"select (select count(*) from PtpFile),(select count(*) from MD5File),"
                     L"(select count(*) from PtpFolder),(select count(*) from Tab_Config),"
                     L"PtpFile_Vesr,PtpFolder_Vesr from UpDateForm")};
    }
    // What the last run did not import, and what it passed over.
    std::set<Item> Items() const {
        std::set<Item> items;
        for (const RunFailure& failure : importer_.Failures()) {
            EXPECT_TRUE(items.emplace(failure.path, failure.kind).second)
                << "told twice: " << test::Utf8(failure.path);
        }
        for (const std::wstring& path : importer_.Skipped()) {
            items.emplace(path, ItemKind::Skipped);
        }
        return items;
    }
    // A tree below `root` with one problem of each kind a run meets before it copies, beside
    // items a run imports, and the store as earlier runs left it; what a run will say of each
    // problem. Links lead into `outside`.
    std::map<Item, std::wstring> PlantProblems(const std::wstring& root,
                                               const test::TempDir& outside) {
        test::WriteBytes(outside / L"secret.txt", "not the operator's");
        test::MakeDirs(outside / L"dir");
        test::NarrowNameColumns(server_.db);
        const std::wstring store = StoreDir();
        const std::wstring tooLongName = L"a-file-name-that-is-longer-than-forty.txt";
        const std::wstring tooLongFolder = L"a-folder-name-that-is-longer-than-forty-x";
        const std::wstring deepPath = L"deep-level-one\\deep-level-two\\deep-level-three\\x.txt";
        EXPECT_GT(tooLongName.size(), 40u);
        EXPECT_GT(tooLongFolder.size(), 40u);
        EXPECT_GT(16 + deepPath.size(), 60u);
        for (const std::wstring& name :
             {std::wstring(L"ok.txt"), std::wstring(L"same.txt"), std::wstring(L"s b.txt"),
              std::wstring(L"s\u00A0b.txt"), EmojiAtLimit(), std::wstring(L"real\\kept.txt")}) {
            test::WriteBytes(root + L"\\" + name, "imported");
        }
        test::WriteBytes(root + L"\\" + tooLongName, "name too long");
        test::WriteBytes(root + L"\\" + tooLongFolder + L"\\in.txt", "folder name too long");
        test::WriteBytes(root + L"\\" + deepPath, "path too long");
        test::WriteBytes(root + L"\\system.txt", "passed over");
        SetFileAttributesW((root + L"\\system.txt").c_str(), FILE_ATTRIBUTE_SYSTEM);
        EXPECT_TRUE(
            unique_hfile(CreateFileW((L"\\\\?\\" + root + L"\\bad.").c_str(), GENERIC_WRITE, 0,
                                     nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)))
            << "a name that path parsing alters";
        EXPECT_TRUE(test::MakeUnixLink(outside / L"secret.txt", root + L"\\out-link.txt"));
        EXPECT_TRUE(test::MakeUnixLink(outside / L"dir", root + L"\\out-dir"));
        test::WriteBytes(root + L"\\locked\\l.txt", "can't be listed");
        test::WriteBytes(root + L"\\broken\\b0.txt", "listed");
        test::WriteBytes(root + L"\\broken\\b1.txt", "not listed");
        test::WriteBytes(root + L"\\real\\gone.txt", "goes during the walk");
        test::WriteBytes(root + L"\\linked\\in.txt", "below a link in the store");
        test::WriteBytes(store + L"same.txt", "imported");
        test::WriteBytes(root + L"\\differs.txt", "new bytes");
        test::WriteBytes(store + L"differs.txt", "old bytes");
        test::WriteBytes(root + L"\\bigger.txt", "more bytes than stored");
        test::WriteBytes(store + L"bigger.txt", "fewer");
        test::WriteBytes(root + L"\\occupied.txt", "a folder is in the way");
        test::MakeDirs(store + L"occupied.txt");
        EXPECT_TRUE(test::MakeUnixLink(outside / L"dir", store + L"linked"));
        // A file where the store wants a folder: neither the folder's level nor its files' copies
        // can be made.
        test::WriteBytes(store + L"filed", "a file where a folder goes");
        test::WriteBytes(root + L"\\filed\\f.txt", "below a file in the store");
        // Two names that clean alike with other bytes: the later one meets the earlier one's copy.
        test::WriteBytes(root + L"\\a b.txt", "AAAA");
        test::WriteBytes(root + L"\\a\u00A0b.txt", "BBBB");
        // The store holds one pair's path already: whichever comes first, only "t b.txt" differs.
        test::WriteBytes(store + L"t b.txt", "old!");
        test::WriteBytes(root + L"\\t b.txt", "new!");
        test::WriteBytes(root + L"\\t\u00A0b.txt", "old!");

        const std::vector<std::wstring> order = test::ListingOrder(root);
        const bool spaceFirst = std::find(order.begin(), order.end(), L"a b.txt") <
                                std::find(order.begin(), order.end(), L"a\u00A0b.txt");
        const auto in = [&](const std::wstring& relative) { return root + L"\\" + relative; };
        return {
            {{in(L"bad."), ItemKind::FileNotImported}, reason::kNameNotServable},
            {{in(L"system.txt"), ItemKind::Skipped}, L"(not reported)"},
            {{in(L"out-link.txt"), ItemKind::FileNotImported}, reason::kLinkOutside},
            {{in(L"out-dir\\"), ItemKind::FolderNotImported}, reason::kDirectoryLink},
            {{in(L"locked\\"), ItemKind::FolderNotImported},
             reason::kUnlistable + Win32Reason(ERROR_ACCESS_DENIED)},
            {{in(L"broken\\"), ItemKind::FolderNotImported},
             reason::kListingBroken + Win32Reason(ERROR_NETNAME_DELETED)},
            {{in(L"real\\gone.txt"), ItemKind::FileNotImported}, reason::kFileGone},
            {{in(L"linked\\"), ItemKind::FolderNotImported},
             reason::kLinkInTheWay + store + L"linked"},
            {{in(L"differs.txt"), ItemKind::FileNotImported},
             reason::kStoreFileDiffers + store + L"differs.txt"},
            {{in(L"bigger.txt"), ItemKind::FileNotImported},
             reason::kStoreFileDiffers + store + L"bigger.txt"},
            {{in(L"occupied.txt"), ItemKind::FileNotImported},
             reason::kStoreEntryTaken + store + L"occupied.txt"},
            {{in(spaceFirst ? L"a\u00A0b.txt" : L"a b.txt"), ItemKind::FileNotImported},
             reason::kStoreFileDiffers + store + L"a b.txt"},
            {{in(L"t b.txt"), ItemKind::FileNotImported},
             reason::kStoreFileDiffers + store + L"t b.txt"},
            {{in(L"filed\\"), ItemKind::FolderNotImported},
             reason::kStoreDirectory + Win32Reason(ERROR_ALREADY_EXISTS)},
            {{in(L"filed\\f.txt"), ItemKind::FileNotImported}, Win32Reason(ERROR_ALREADY_EXISTS)},
            {{in(tooLongName), ItemKind::FileNotImported}, reason::kNameTooLong},
            {{in(tooLongFolder + L"\\"), ItemKind::FolderNotImported}, reason::kNameTooLong},
            {{in(deepPath), ItemKind::FileNotImported}, reason::kNameTooLong},
        };
    }
    std::wstring StoreDir() const { return server_.store + L"\\DownLoad\\Public\\"; }
    // Forty characters to MySQL, forty-one UTF-16 units: within the narrowed column.
    static std::wstring EmojiAtLimit() { return std::wstring(35, L'e') + L".txt\U0001F600"; }
};

// A check finds every problem a run meets before it copies, and a run then imports everything
// else.
TEST_F(ImportCheckTest, ACheckChangesNothingAndFindsWhatARunThenDoesNotImport) {
    test::TempDir outside;
    test::TempDir moved;  // where the file that goes during the walk waits
    test::RemoveTree(kHolding);
    const std::wstring root = Src(L"chk");
    const std::map<Item, std::wstring> expected = PlantProblems(root, outside);
    const auto in = [&](const std::wstring& relative) { return root + L"\\" + relative; };

    // Per run: the walk's listing of "locked" fails, every listing of "broken" breaks after one
    // entry, and "real\gone.txt" goes once the walk has listed the chosen folder.
    // The survey lists on several threads.
    const size_t rootEntries = test::ListingOrder(root).size();
    std::mutex mutex;
    std::map<std::wstring, int> listings;
    ListingFault fault([&](const std::wstring& directory, size_t delivered) -> DWORD {
        const std::lock_guard lock(mutex);
        if (delivered == 0) ++listings[directory];
        const int listing = listings[directory];
        if (directory.ends_with(L"\\locked\\") && delivered == 0 && listing == 2) {
            return ERROR_ACCESS_DENIED;
        }
        if (directory.ends_with(L"\\broken\\") && delivered == 1) return ERROR_NETNAME_DELETED;
        if (directory.ends_with(L"\\chk\\") && listing == 2 && delivered == rootEntries) {
            MoveFileW(in(L"real\\gone.txt").c_str(), (moved / L"gone.txt").c_str());
        }
        return ERROR_SUCCESS;
    });
    const auto putBack = [&] {
        ASSERT_TRUE(MoveFileW((moved / L"gone.txt").c_str(), in(L"real\\gone.txt").c_str()));
        const std::lock_guard lock(mutex);
        listings.clear();
    };

    const World before = Snapshot(root);
    importer_.SetCheckOnly(true);
    Run(root);
    putBack();
    EXPECT_TRUE(Snapshot(root) == before) << "the check changed something";
    std::set<Item> checked = Items();
    for (const auto& [item, reason] : expected) {
        EXPECT_TRUE(checked.contains(item)) << "not found: " << test::Utf8(item.first);
        if (item.second != ItemKind::Skipped) {
            EXPECT_EQ(ReasonFor(item.first), reason) << test::Utf8(item.first);
        }
    }
    for (const Item& item : checked) {
        EXPECT_TRUE(expected.contains(item)) << "not a problem: " << test::Utf8(item.first);
    }
    ASSERT_EQ(window_.outcomes.size(), 1u);
    EXPECT_EQ(window_.outcomes[0].ending, RunOutcome::Ending::PartlyFailed);
    EXPECT_EQ(window_.outcomes[0].notImported, importer_.Failures().size());
    EXPECT_TRUE(window_.outcomes[0].reportPath.empty()) << "a check writes no report";
    EXPECT_EQ(window_.list1.size(), importer_.Failures().size()) << "one line for each item";

    importer_.SetCheckOnly(false);
    Run(root);
    putBack();
    EXPECT_EQ(Items(), checked) << "a run does not import what the check found, nor more";
    for (const RunFailure& failure : importer_.Failures()) {
        const auto said = expected.find({failure.path, failure.kind});
        EXPECT_EQ(failure.reason, said == expected.end() ? L"(not expected)" : said->second)
            << test::Utf8(failure.path);
    }
    EXPECT_EQ(test::ReadBytes(StoreDir() + L"ok.txt"), "imported") << "the run did import";
    EXPECT_EQ(test::ReadBytes(StoreDir() + EmojiAtLimit()), "imported");
    EXPECT_EQ(Rows(L"select count(*) from PtpFile where TypePath like 'a%b.txt'")[0][0], L"1");
    test::RemoveTree(kHolding);
}

// Refused before the walk, a check is refused as a run is, and writes nothing either.
TEST_F(ImportCheckTest, ACheckIsRefusedAsARunIs) {
    const std::wstring root = Src(L"refused");
    test::WriteBytes(root + L"\\a.txt", "a");
    const struct {
        std::wstring folder;
        RunOutcome::Refusal refusal;
    } cases[] = {{L"", RunOutcome::Refusal::NoFolderChosen},
                 {L"relative\\folder", RunOutcome::Refusal::NoFolderChosen},
                 {server_.store, RunOutcome::Refusal::FolderOverlaps},
                 {server_.store + L"\\DownLoad", RunOutcome::Refusal::FolderOverlaps}};
    test::MakeDirs(server_.store + L"\\DownLoad");
    const World before = Snapshot(root);
    importer_.SetCheckOnly(true);
    for (const auto& c : cases) {
        SCOPED_TRACE(test::Utf8(c.folder));
        window_.outcomes.clear();
        Run(c.folder);
        ASSERT_EQ(window_.outcomes.size(), 1u);
        EXPECT_EQ(window_.outcomes[0].ending, RunOutcome::Ending::Refused);
        EXPECT_EQ(window_.outcomes[0].refusal, c.refusal);
        EXPECT_TRUE(Snapshot(root) == before);
    }
}

}  // namespace
}  // namespace ksr
