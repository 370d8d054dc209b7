#pragma once

#include <string>
#include <string_view>

namespace ksr {

// Every code unit at or above 0x80 becomes "%" escapes of its UTF-8 bytes (upper-case hex;
// surrogates are encoded one unit at a time); "%" and "+" become "%25" and "%2B" so that
// PercentDecode(PercentEncodeUtf8(t)) == t for every text; other 7-bit characters pass.
std::wstring PercentEncodeUtf8(std::wstring_view text);

// Undoes the escapes (either case of hex digit) and turns "+" into a blank. An escape cut
// short or holding a non-hex digit leaves its "%" as it stands.
std::wstring PercentDecode(std::wstring_view text);

}  // namespace ksr
