#include "util/hex.h"

namespace ksr {

void AppendHex(std::wstring& out, uint8_t byte, HexCase letters) {
    const wchar_t* digits = letters == HexCase::Upper ? L"0123456789ABCDEF" : L"0123456789abcdef";
    out += digits[byte >> 4];
    out += digits[byte & 0xF];
}

std::wstring BytesToHex(std::span<const uint8_t> bytes, HexCase letters) {
    std::wstring text;
    text.reserve(bytes.size() * 2);
    for (const uint8_t b : bytes) AppendHex(text, b, letters);
    return text;
}

}  // namespace ksr
