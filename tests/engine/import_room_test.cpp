#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>

#include "app/message_texts.h"
#include "engine/store_room.h"
#include "import_test_support.h"
#include "util/size_text.h"

namespace ksr {
namespace {

constexpr uint64_t kMiB = uint64_t{1} << 20;

// Every file and folder below `dir`, with each file's bytes.
void Snapshot(const std::wstring& dir, std::map<std::wstring, std::string>& into) {
    for (const std::wstring& name : test::ListNames(dir)) {
        const std::wstring path = dir + L"\\" + name;
        into[path] = test::ReadBytes(path);
        Snapshot(path, into);  // a file lists nothing
    }
}
std::map<std::wstring, std::string> Snapshot(const std::wstring& dir) {
    std::map<std::wstring, std::string> tree;
    Snapshot(dir, tree);
    return tree;
}

TEST(StoreRoom, TheMarginIsOnePercentAndAtLeast64MiB) {
    for (const uint64_t bytes : {uint64_t{0}, 6400 * kMiB, 6400 * kMiB + 200, UINT64_MAX}) {
        const uint64_t margin = RoomNeeded(bytes) - bytes;
        EXPECT_EQ(margin, bytes == UINT64_MAX ? 0 : std::max(64 * kMiB, bytes / 100)) << bytes;
    }
}

class ImportRoomTest : public test::ImportTest {};

// dev/test mounts a volume of 8 MiB at D:\small-volume when it can.
TEST_F(ImportRoomTest, ARunTheStoresVolumeCantHoldIsRefusedWithNothingWritten) {
    ULARGE_INTEGER volume{};
    if (!GetDiskFreeSpaceExW(L"D:\\small-volume\\", nullptr, &volume, nullptr) ||
        volume.QuadPart > 32 * kMiB) {
        GTEST_SKIP() << "D:\\small-volume is no small volume: dev/test could not mount one";
    }
    const struct Removed {
        std::wstring path;
        ~Removed() { test::RemoveTree(path); }
    } storeDir{L"D:\\small-volume\\store-" + std::to_wstring(GetTickCount64())};
    test::WriteBytes(storeDir.path + L"\\DownLoad\\Public\\old.txt", "an earlier import");
    test::WriteBytes(Src(L"docs\\a.txt"), std::string(kMiB, 'a'));
    test::WriteBytes(Src(L"docs\\sub\\b.txt"), "b");
    const auto sources = Snapshot(Src(L"docs"));
    const auto store = Snapshot(storeDir.path);
    const std::wstring countRows =
        L"select PtpFile_Vesr, PtpFolder_Vesr, (select count(*) from PtpFolder), "
        L"(select count(*) from PtpFile) from UpDateForm";
    const std::vector<test::Row> rows = Rows(countRows);

    // The store root as it is, and one the run would have made on the same volume.
    for (const std::wstring& root : {storeDir.path, storeDir.path + L"\\not-made-yet"}) {
        server_.db.Exec(L"update Tab_Config set Col_Data='" + ReplaceAll(root, L'\\', L'/') +
                        L"' where Col_Name='KSR_CONSOLE'");
        window_.outcomes.clear();
        window_.boxes.clear();
        Run(Src(L"docs"), /*rootMode=*/true, /*deleteAfter=*/true);

        ASSERT_EQ(window_.outcomes.size(), 1u) << test::Utf8(root);
        const RunOutcome& outcome = window_.outcomes[0];
        EXPECT_EQ(outcome.ending, RunOutcome::Ending::Refused);
        EXPECT_EQ(outcome.refusal, RunOutcome::Refusal::NoRoom);
        EXPECT_GE(outcome.roomNeeded, kMiB + 1 + 64 * kMiB) << "the folder's bytes and a margin";
        EXPECT_LT(outcome.roomFree, outcome.roomNeeded);
        EXPECT_LE(outcome.roomFree, volume.QuadPart);
        EXPECT_EQ(window_.boxes[0].text, msg::kNoRoomBefore + SizeText(outcome.roomNeeded) +
                                             msg::kNoRoomMiddle + SizeText(outcome.roomFree) +
                                             msg::kNoRoomAfter);
        EXPECT_EQ(window_.boxes[0].caption, kAppTitle);
        EXPECT_EQ(window_.boxes[0].type, static_cast<unsigned>(MB_OK));

        EXPECT_EQ(Snapshot(storeDir.path), store) << "no copy, no folder, no log line";
        EXPECT_EQ(Rows(countRows), rows) << "no counter bumped, not even the root folder's row";
        EXPECT_EQ(Snapshot(Src(L"docs")), sources) << "nothing deleted";
        EXPECT_TRUE(test::ListNames(server_.dir / L"reports").empty()) << "no run report";
        EXPECT_TRUE(importer_.List1().empty());
    }
}

}  // namespace
}  // namespace ksr
