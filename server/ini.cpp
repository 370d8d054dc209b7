#include "server/ini.h"

#include <windows.h>

#include "util/paths.h"

namespace ksr {

std::wstring ReadIniString(const std::wstring& path, const std::wstring& section,
                           const std::wstring& key) {
    wchar_t buffer[128] = {};
    GetPrivateProfileStringW(section.c_str(), key.c_str(), L"", buffer, 128, path.c_str());
    return TrimBlanks(buffer);
}

}  // namespace ksr
