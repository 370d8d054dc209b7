#include "console/console_window.h"

#include <windows.h>

#include <cmath>
#include <cwchar>

namespace ksr {
namespace {

// On a console the line is redrawn a few times a second; in a file, a line every few seconds
// is enough to show the run is alive.
constexpr uint64_t kConsoleInterval = 250, kRedirectedInterval = 5000;

}  // namespace

ConsoleWindow::ConsoleWindow(ConsoleOutput& out, std::wstring folder, bool rootMode)
    : out_(out), folder_(std::move(folder)), rootMode_(rootMode) {}

void ConsoleWindow::FileReached(uint64_t files, uint64_t bytes) {
    const uint64_t now = GetTickCount64();
    if (startTick_ == 0) startTick_ = now;
    const uint64_t interval = out_.IsConsole() ? kConsoleInterval : kRedirectedInterval;
    if (shownTick_ != 0 && now - shownTick_ < interval) return;
    shownTick_ = now;
    out_.Progress(
        ProgressText(fraction_, files, bytes, static_cast<double>(now - startTick_) / 1000.0));
}

void ConsoleWindow::NotImported(const RunFailure& item) {
    out_.Line(NotImportedText(item));
}

std::wstring ProgressText(double fraction, uint64_t files, uint64_t bytes, double seconds) {
    constexpr double kMiB = 1024.0 * 1024.0;
    const double mib = static_cast<double>(bytes) / kMiB;
    wchar_t text[128];
    const int percent = fraction < 0 ? -1 : static_cast<int>(std::lround(fraction * 100.0));
    if (percent >= 0) {
        swprintf(text, 128, L"%3d%%  %llu 个文件  %.1f MiB", percent,
                 static_cast<unsigned long long>(files), mib);
    } else {
        swprintf(text, 128, L"%llu 个文件  %.1f MiB", static_cast<unsigned long long>(files), mib);
    }
    std::wstring line = text;
    if (seconds >= 1.0) {
        swprintf(text, 128, L"  %.1f MiB/s", mib / seconds);
        line += text;
    }
    return line;
}

std::wstring NotImportedText(const RunFailure& item) {
    return std::wstring(ItemKindText(item.kind)) + L"：" + item.path + L"  " + item.reason;
}

}  // namespace ksr
