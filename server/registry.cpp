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

// Reads the value from one registry view; no value when the key or value is not there, so that
// the other view is asked.
std::optional<Result<std::wstring>> ReadFromView(HKEY root, const std::wstring& subkey,
                                                 const std::wstring& valueName, REGSAM view,
                                                 const std::wstring& where) {
    unique_hkey key;
    if (RegOpenKeyExW(root, subkey.c_str(), 0, KEY_READ | view, key.put()) != ERROR_SUCCESS) {
        return std::nullopt;
    }
    DWORD type = 0;
    DWORD size = 0;
    LSTATUS status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, nullptr, &size);
    if (status == ERROR_FILE_NOT_FOUND) return std::nullopt;
    if (status != ERROR_SUCCESS) return Win32Error(static_cast<DWORD>(status), where);

    std::vector<BYTE> data(size);
    if (size > 0) {
        status = RegQueryValueExW(key.get(), valueName.c_str(), nullptr, &type, data.data(), &size);
        if (status != ERROR_SUCCESS) return Win32Error(static_cast<DWORD>(status), where);
        data.resize(size);
    }
    switch (type) {
        case REG_SZ: {
            std::wstring s(reinterpret_cast<const wchar_t*>(data.data()), data.size() / 2);
            s.resize(wcsnlen(s.c_str(), s.size()));
            return Result<std::wstring>(std::move(s));
        }
        case REG_DWORD: {
            if (data.size() < 4) return Win32Error(ERROR_INVALID_DATA, where);
            DWORD v = 0;
            memcpy(&v, data.data(), 4);
            return Result<std::wstring>(std::to_wstring(static_cast<unsigned long>(v)));
        }
        case REG_NONE:
            return Result<std::wstring>(NoneBytesText(data));
        default:
            // A value of another type reads as empty text; it only counts as read when it
            // holds no data at all.
            if (!data.empty()) return Win32Error(ERROR_INVALID_DATA, where);
            return Result<std::wstring>(std::wstring());
    }
}

}  // namespace

Result<std::wstring> ReadRegistryString(const std::wstring& rootName, const std::wstring& subkey,
                                        const std::wstring& valueName) {
    const std::wstring where = rootName + L"\\" + subkey + L"\\" + valueName;
    const auto root = RootKey(rootName);
    if (!root) return Win32Error(ERROR_INVALID_PARAMETER, where);

    // A 32-bit server installer writes into the 32-bit view, which a 64-bit program does not
    // see unless it asks for it.
    for (const REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
        std::optional<Result<std::wstring>> read =
            ReadFromView(*root, subkey, valueName, view, where);
        if (!read) continue;
        if (!*read) return std::move(*read).error();
        return TrimBlanks(**read);
    }
    return Win32Error(ERROR_FILE_NOT_FOUND, where);
}

}  // namespace ksr
