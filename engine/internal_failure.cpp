#include "engine/internal_failure.h"

#include <windows.h>

#include <exception>

#include "engine/log_texts.h"

namespace ksr {
namespace {

std::wstring Widen(const char* text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (n <= 1) return {};
    std::wstring out(static_cast<size_t>(n - 1), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, out.data(), n);
    return out;
}

}  // namespace

std::wstring UnexpectedReason() {
    try {
        if (std::current_exception()) std::rethrow_exception(std::current_exception());
    } catch (const std::exception& error) {
        return reason::kUnexpected + Widen(error.what());
    } catch (...) {
    }
    return reason::kUnexpected;
}

}  // namespace ksr
