#include "app/progress_title.h"

#include <cmath>

namespace ksr {

long long ProgressPercent(double fraction) {
    return std::llround(fraction * 100.0);
}

std::wstring ProgressText(double fraction) {
    return std::to_wstring(ProgressPercent(fraction)) + L"%";
}

std::wstring ProgressTitle(double fraction, const std::wstring& title) {
    const long long percent = ProgressPercent(fraction);
    if (percent < 0 || percent > 999) return title;
    return ProgressText(fraction) + L" \u2013 " + title;
}

}  // namespace ksr
