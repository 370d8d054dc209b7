// Runs the real import engine headless, as the window does, and reports its time and memory.
//   ksrbench [--delete] <folder>
// --delete deletes each source once it is imported, as when the operator confirms deletion.
// Prints: seconds=<importfile wall time> peak_mib=<peak working set> lines=<activity lines>
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <cwchar>

#include "engine/import_state.h"
#include "engine/import_window.h"
#include "engine/importer.h"
#include "util/codecs.h"

namespace {

class HeadlessWindow : public ksr::ImportWindow {
  public:
    explicit HeadlessWindow(std::wstring text1) : text1_(std::move(text1)) {}
    [[nodiscard]] std::wstring Text1() const override { return text1_; }
    [[nodiscard]] std::wstring Text2() const override { return {}; }
    [[nodiscard]] bool Check2() const override { return false; }
    void SetText3(const std::wstring&) override {}
    void ClearList1() override {}
    void AddList1(const std::wstring&) override { ++lines; }
    void SetLabel2(const std::wstring&) override { ++labels; }
    void EnableCommand3(bool) override {}
    void ShowMessage(const std::wstring& text, const std::wstring&, unsigned) override {
        message = text;
    }
    int lines = 0, labels = 0;
    std::wstring message;

  private:
    std::wstring text1_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    int arg = 1;
    const bool deleteSources = arg < argc && std::wcscmp(argv[arg], L"--delete") == 0;
    if (deleteSources) ++arg;
    if (arg + 1 != argc) return 2;
    HeadlessWindow window(ksr::PercentEncodeUtf8(argv[arg]));
    ksr::ImportState state;
    state.DeleteAfterImport = deleteSources;
    ksr::Importer importer(state, window);
    const auto start = std::chrono::steady_clock::now();
    importer.importfile();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("seconds=%.3f peak_mib=%.1f lines=%d labels=%d ok=%d\n", seconds,
                static_cast<double>(memory.PeakWorkingSetSize) / 1048576.0, window.lines,
                window.labels, window.message == L"导入成功。" ? 1 : 0);
    return window.message == L"导入成功。" ? 0 : 1;
}
