#include "console/console_output.h"

#include <mutex>

#include "util/narrow.h"

namespace ksr {

ConsoleOutput::ConsoleOutput(HANDLE out) : out_(out) {
    DWORD mode = 0;
    console_ = out_ != nullptr && out_ != INVALID_HANDLE_VALUE && GetConsoleMode(out_, &mode);
}

void ConsoleOutput::Line(const std::wstring& text) {
    const std::lock_guard lock(mutex_);
    ClearProgress();
    Write(text + L"\r\n");
}

void ConsoleOutput::Progress(const std::wstring& text) {
    const std::lock_guard lock(mutex_);
    if (!console_) {
        Write(text + L"\r\n");
        return;
    }
    const size_t columns = ConsoleColumns(text);
    // The rest of a longer line drawn before is blanked out.
    const size_t blank = progressColumns_ > columns ? progressColumns_ - columns : 0;
    Write(L"\r" + text + std::wstring(blank, L' '));
    progressColumns_ = columns;
}

void ConsoleOutput::ClearProgress() {
    if (progressColumns_ == 0) return;
    Write(L"\r" + std::wstring(progressColumns_, L' ') + L"\r");
    progressColumns_ = 0;
}

void ConsoleOutput::Write(const std::wstring& text) {
    if (out_ == nullptr || out_ == INVALID_HANDLE_VALUE) return;
    if (console_) {
        DWORD written = 0;
        WriteConsoleW(out_, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // A pipe may take less than all at once.
    const std::string bytes = Narrow(text, CP_UTF8);
    size_t done = 0;
    while (done < bytes.size()) {
        DWORD written = 0;
        const DWORD chunk = static_cast<DWORD>(bytes.size() - done);
        if (!WriteFile(out_, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return;
        }
        done += written;
    }
}

size_t ConsoleColumns(const std::wstring& text) {
    size_t columns = 0;
    for (const wchar_t c : text) {
        const bool wide = (c >= 0x1100 && c <= 0x115F) || (c >= 0x2E80 && c <= 0xA4CF) ||
                          (c >= 0xAC00 && c <= 0xD7A3) || (c >= 0xF900 && c <= 0xFAFF) ||
                          (c >= 0xFE30 && c <= 0xFE4F) || (c >= 0xFF00 && c <= 0xFF60) ||
                          (c >= 0xFFE0 && c <= 0xFFE6);
        columns += wide ? 2 : 1;
    }
    return columns;
}

}  // namespace ksr
