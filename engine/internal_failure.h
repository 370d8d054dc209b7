#pragma once

#include <string>

namespace ksr {

// Why an item failed on an exception nobody expected, called from inside a catch block: the
// system's text for an internal error, followed by what the exception says of itself, if anything.
// No Win32 code is made up for it.
[[nodiscard]] std::wstring UnexpectedReason();

}  // namespace ksr
