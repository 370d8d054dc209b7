#pragma once

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/importer.h"
#include "support/fake_window.h"
#include "support/server_install.h"
#include "util/codecs.h"
#include "util/paths.h"

namespace ksr::test {

// One installation, one window and one run state, as a program life holds them.
class ImportTest : public testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(server_.ok()) << Utf8(server_.db.error());
        importer_.SetRegistration(server_.Registration());
    }

    // Picks `folder` the way Command1 does and runs the import.
    void Run(const std::wstring& folder, bool rootMode = false, bool deleteAfter = false) {
        window_.text1 = PercentEncodeUtf8(folder);
        window_.check2 = rootMode;
        state_.DeleteAfterImport = deleteAfter;
        importer_.importfile();
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
