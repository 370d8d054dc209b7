#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "support/temp_dir.h"
#include "support/test_db.h"

namespace ksr::e2e {

// The system DLLs the programs must not take from their own folder.
inline const std::wstring kPlantedDlls[] = {L"odbc32.dll", L"bcrypt.dll", L"comctl32.dll",
                                            L"dbghelp.dll"};

// Copies the built program `name` (e.g. "ksrimport.exe") into `folder`, a download folder, with
// a planted DLL beside it under each of those names; returns the copy's path. A planted DLL
// that gets loaded leaves "<name>.loaded" beside itself.
inline std::wstring CopyWithPlantedDlls(const std::wstring& name, const std::wstring& folder) {
    test::MakeDirs(folder);
    const std::wstring copy = folder + L"\\" + name;
    EXPECT_TRUE(CopyFileW(test::BuildOutput(L"app\\" + name).c_str(), copy.c_str(), FALSE));
    for (const std::wstring& dll : kPlantedDlls) {
        EXPECT_TRUE(CopyFileW(test::BuildOutput(L"tests\\e2e\\ksr_planted.dll").c_str(),
                              (folder + L"\\" + dll).c_str(), FALSE));
    }
    return copy;
}

// Fails the test for each planted DLL in `folder` that was loaded.
inline void ExpectNoPlantedDllLoaded(const std::wstring& folder) {
    for (const std::wstring& dll : kPlantedDlls) {
        EXPECT_FALSE(test::Exists(folder + L"\\" + dll + L".loaded")) << test::Utf8(dll);
    }
}

}  // namespace ksr::e2e
