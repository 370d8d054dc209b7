#include "app/progress_title.h"

namespace ksr {
namespace {

bool IsPercentage(const std::wstring& text) {
    if (text.size() < 2 || text.size() > 4 || text.back() != L'%') return false;
    for (size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9') return false;
    }
    return true;
}

}  // namespace

std::wstring ProgressTitle(const std::wstring& progress, const std::wstring& title) {
    if (!IsPercentage(progress)) return title;
    return progress + L" \u2013 " + title;
}

}  // namespace ksr
