#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/importer.h"
#include "app/message_texts.h"
#include "support/fake_window.h"
#include "support/server_install.h"
#include "util/dir_listing.h"
#include "util/handles.h"
#include "util/paths.h"

namespace ksr::test {

// Clears the listing fault however the test ends.
struct ListingFault {
    explicit ListingFault(std::function<DWORD(const std::wstring&, size_t)> fault) {
        SetListingFaultForTest(std::move(fault));
    }
    ~ListingFault() { SetListingFaultForTest(nullptr); }
    ListingFault(const ListingFault&) = delete;
    ListingFault& operator=(const ListingFault&) = delete;
};

// Names below `dir` in the order the file system lists them.
inline std::vector<std::wstring> ListingOrder(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW entry;
    unique_hfind find(FindFirstFileW(ToExtendedPath(dir + L"\\*").c_str(), &entry));
    if (!find) return names;
    do {
        if (!IsDotEntry(entry.cFileName)) names.push_back(entry.cFileName);
    } while (FindNextFileW(find.get(), &entry));
    return names;
}

// Narrows the server's columns for names and paths so that names a disk holds exceed them:
// 40 characters for a file's or folder's name, 60 for MD5File's store path.
inline void NarrowNameColumns(TestDatabase& db) {
    ASSERT_EQ(db.Exec(L"alter table PtpFile modify TypePath varchar(40) not null;\n"
                      L"alter table MD5File modify TypePath varchar(40) not null;\n"
                      L"alter table MD5File modify FilPath varchar(60) not null;\n"
                      L"alter table PtpFolder modify UsName varchar(40) not null"),
              L"");
}

// One installation, one window and one run state, as a program life holds them.
class ImportTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok()) << Utf8(server_.db.error());
        importer_.SetRegistration(server_.Registration());
        importer_.SetReportDirectory(server_.dir / L"reports");
    }

    // Picks `folder` the way Command1 does and runs the import.
    void Run(const std::wstring& folder, bool rootMode = false, bool deleteAfter = false) {
        window_.text1 = folder;
        window_.check2 = rootMode;
        state_.DeleteAfterImport = deleteAfter;
        importer_.importfile();
    }

    // The last message's own words, without the report's path that follows a failure.
    std::wstring EndMessage() const {
        if (window_.boxes.empty()) return {};
        const std::wstring& text = window_.boxes.back().text;
        return text.substr(0, text.find(std::wstring(L"\n\n") + msg::kReasonsIn));
    }

    // The reason the last run gave for the item `path`.
    std::wstring ReasonFor(const std::wstring& path) const {
        for (const RunFailure& failure : importer_.Failures()) {
            if (failure.path == path) return failure.reason;
        }
        return L"(not reported)";
    }

    std::vector<Row> Rows(const std::wstring& sql) { return server_.db.Query(sql); }
    std::wstring StoreFile(const std::wstring& filPath) const {
        return server_.store + L"\\" + ReplaceAll(filPath, L'/', L'\\');
    }
    std::wstring Src(const std::wstring& relative) const {
        return server_.sources + L"\\" + relative;
    }

    ServerInstall server_;
    FakeWindow window_;
    ImportState state_;
    Importer importer_{state_, window_};
};

}  // namespace ksr::test
