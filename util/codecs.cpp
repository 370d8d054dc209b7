#include "util/codecs.h"

#include <optional>

#include "util/hex.h"

namespace ksr {
namespace {

void AppendEscape(std::wstring& out, unsigned byte) {
    out += L'%';
    AppendHex(out, static_cast<uint8_t>(byte), HexCase::Upper);
}

std::optional<unsigned> HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return std::nullopt;
}

// The byte written as two hex digits at `pos`, when both are there and valid.
std::optional<unsigned> HexByteAt(std::wstring_view text, size_t pos) {
    if (pos + 1 >= text.size()) return std::nullopt;
    const auto high = HexDigit(text[pos]);
    const auto low = HexDigit(text[pos + 1]);
    if (!high || !low) return std::nullopt;
    return *high * 16 + *low;
}

}  // namespace

std::wstring PercentEncodeUtf8(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    for (const wchar_t c : text) {
        const unsigned u = static_cast<unsigned>(c) & 0xFFFF;
        if (u == L'%' || u == L'+') {
            AppendEscape(out, u);
        } else if (u < 0x80) {
            out += c;
        } else if (u < 0x800) {
            AppendEscape(out, (u >> 6) | 0xC0);
            AppendEscape(out, (u & 63) | 0x80);
        } else {
            AppendEscape(out, (u >> 12) | 0xE0);
            AppendEscape(out, ((u >> 6) & 63) | 0x80);
            AppendEscape(out, (u & 63) | 0x80);
        }
    }
    return out;
}

std::wstring PercentDecode(std::wstring_view text) {
    std::wstring out;
    out.reserve(text.size());
    size_t p = 0;
    while (p < text.size()) {
        const wchar_t c = text[p];
        if (c == L'+') {
            out += L' ';
            ++p;
            continue;
        }
        if (c != L'%') {
            out += c;
            ++p;
            continue;
        }
        // The positions where the encoder puts the second and third "%" are not looked at.
        const auto v = HexByteAt(text, p + 1);
        if (v && *v < 0x80) {
            out += static_cast<wchar_t>(*v);
            p += 3;
            continue;
        }
        const auto w = v ? HexByteAt(text, p + 4) : std::nullopt;
        if (w && *v >= 0xC0 && *v < 0xE0) {
            out += static_cast<wchar_t>(((*v & 63) << 6) | (*w & 63));
            p += 6;
            continue;
        }
        const auto x = w ? HexByteAt(text, p + 7) : std::nullopt;
        if (x) {
            out += static_cast<wchar_t>(((*v & 15) << 12) | ((*w & 63) << 6) | (*x & 63));
            p += 9;
            continue;
        }
        out += L'%';
        ++p;
    }
    return out;
}

}  // namespace ksr
