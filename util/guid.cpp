#include "util/guid.h"

#include <objbase.h>

#include <cwchar>

namespace ksr {

std::wstring FormatGuidText(const GUID& guid) {
    wchar_t text[33];
    swprintf(text, 33, L"%08lX%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X",
             static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0],
             guid.Data4[1], guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5],
             guid.Data4[6], guid.Data4[7]);
    return text;
}

Result<std::wstring> NewGuidText() {
    GUID guid{};
    const HRESULT result = CoCreateGuid(&guid);
    if (result != S_OK) {
        return Win32Error(HRESULT_FACILITY(result) == FACILITY_WIN32 ? HRESULT_CODE(result)
                                                                     : ERROR_INVALID_FUNCTION);
    }
    return FormatGuidText(guid);
}

}  // namespace ksr
