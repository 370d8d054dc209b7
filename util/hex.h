#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace ksr {

// Digests travel in lower case (the server's rows hold them so); the registry's byte dumps use
// upper case.
enum class HexCase { Lower, Upper };

// Appends two hex digits for `byte`, the high one first.
void AppendHex(std::wstring& out, uint8_t byte, HexCase letters = HexCase::Lower);

// Two hex digits per byte, in order.
std::wstring BytesToHex(std::span<const uint8_t> bytes, HexCase letters = HexCase::Lower);

}  // namespace ksr
