#include "server/registry.h"

#include <windows.h>

#include <optional>
#include <vector>

#include "util/handles.h"
#include "util/hex.h"
#include "util/paths.h"

namespace ksr {
namespace {

std::optional<HKEY> RootKey(const std::wstring& name) {
    if (name == L"HKEY_CLASSES_ROOT") return HKEY_CLASSES_ROOT;
    if (name == L"HKEY_CURRENT_USER") return HKEY_CURRENT_USER;
    if (name == L"HKEY_LOCAL_MACHINE") return HKEY_LOCAL_MACHINE;
    return std::nullopt;
}

std::wstring NoneBytesText(const std::vector<BYTE>& bytes) {
    std::wstring text;
    for (const BYTE b : bytes) {
        AppendHex(text, b, HexCase::Upper);
        text += L"   ";
    }
    return text;
}

// Reads the value from one registry view; nullopt when the key or value is not there.
std::optional<bool> ReadFromView(HKEY root, const std::wstring& subkey,
                                 const std::wstring& valueName, REGSAM view, std::wstring& text) {
    unique_hkey key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS) return false;

    std::vector<BYTE> data(size);
    if (size > 0) {
        status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, data.data(), &size);
        if (status != ERROR_SUCCESS) return false;
        data.resize(size);
    }
    switch (type) {
        case REG_SZ: {
            std::wstring s(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
            s.resize(wcsnlen(s.c_str(), s.size()));
            text = s;
            return true;
        }
        case REG_DWORD: {
            if (data.size() < 4) return false;
            DWORD v = 0;
            memcpy(&v, data.data(), 4);
            text = std::to_wstring(static_cast<unsigned long>(v));
            return true;
        }
        case REG_NONE:
            text = NoneBytesText(data);
            return true;
        default:
            // A value of another type reads as empty text; it only counts as read when it
            // holds no data at all.
            return data.empty();
    }
}

}  // namespace

bool ReadRegistryString(const std::wstring& rootName, const std::wstring& subkey,
                        const std::wstring& valueName, std::wstring& value) {
    value.clear();
    const auto root = RootKey(rootName);
    if (!root) return false;

    // A 32-bit server installer writes into the 32-bit view, which a 64-bit program does not
    // see unless it asks for it.
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        std::wstring text;
        const auto read = ReadFromView(*root, subkey, valueName, view, text);
        if (!read) continue;
        value = TrimBlanks(text);
        return *read;
    }
    return false;
}

}  // namespace ksr
