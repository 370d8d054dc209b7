#pragma once

#include <string>

namespace ksr {

// The share of a run done, in whole hundredths: 37 for 0.371.
long long ProgressPercent(double fraction);

// The share as Label2 shows it: "37%".
std::wstring ProgressText(double fraction);

// The window's title while a run goes on: "37% – <title>". A share past 999% (files that grew
// a great deal during the run) stays out of the title, which then is `title` itself.
std::wstring ProgressTitle(double fraction, const std::wstring& title);

}  // namespace ksr
