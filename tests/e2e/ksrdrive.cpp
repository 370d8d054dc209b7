// ksrdrive: plays the administrator at ksrimport.exe, for the demo.
//   ksrdrive <ksrimport.exe> <folder> [--root] [--delete] [--hold <file>]
// With --hold it waits, once the run is over, until <file> exists before closing the window.
#include <windows.h>

#include <string>

#include "tests/e2e/operator.h"

namespace {

void Print(const std::wstring& line) {
    const std::wstring text = line + L"\n";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string bytes(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                        nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()),
              &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        Print(L"usage: ksrdrive <ksrimport.exe> <folder> [--root] [--delete] [--hold <file>]");
        return 2;
    }
    ksr::e2e::OperatorScript script;
    script.exe = argv[1];
    script.folder = argv[2];
    std::wstring hold;
    for (int i = 3; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--root") script.rootMode = true;
        if (arg == L"--delete") script.deleteSources = true;
        if (arg == L"--hold" && i + 1 < argc) hold = argv[++i];
    }
    script.say = [](const std::wstring& line) { Print(L"operator> " + line); };
    script.beforeClose = [&](HWND) {
        if (hold.empty()) return;
        Print(L"operator> holding the window open for its picture");
        for (int i = 0; i < 600 && GetFileAttributesW(hold.c_str()) == INVALID_FILE_ATTRIBUTES;
             ++i) {
            Sleep(100);
        }
    };
    const ksr::e2e::OperatorResult result = ksr::e2e::PlayOperator(script);
    if (!result.ok) return 1;
    const bool succeeded = !result.messages.empty() && result.messages.back() == L"导入成功。";
    return succeeded ? 0 : 3;
}
