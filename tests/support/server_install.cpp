#include "support/server_install.h"

#include <windows.h>

#include "util/handles.h"
#include "util/paths.h"

namespace ksr::test {

ServerInstall::ServerInstall(bool registered)
    : installDir(dir / L"Tavrin KSR\\server"),
      exePath(installDir + L"\\KvoServer.exe"),
      store(dir / L"store"),
      sources(dir / L"sources"),
      subkey(registered ? L"Software\\mw-tz\\KvoServer"
                        : L"Software\\ksrimport-test\\" + std::to_wstring(GetCurrentProcessId()) +
                              L"-" + std::to_wstring(GetTickCount64())),
      view(KEY_WOW64_32KEY) {
    MakeDirs(installDir);
    MakeDirs(store);
    MakeDirs(sources);
    WriteBytes(exePath, "MZ");
    {
        unique_hkey key;
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view,
                        nullptr, key.put(), nullptr);
        RegSetValueExW(key.get(), L"exe", 0, REG_SZ, reinterpret_cast<const BYTE*>(exePath.c_str()),
                       static_cast<DWORD>((exePath.size() + 1) * sizeof(wchar_t)));
    }
    if (!db.ok()) return;
    WriteIni(db.Settings());
    // The server keeps its store root with "/" separators.
    db.Exec(
        L"insert into Tab_Config(Col_Name,Col_Data,Col_Genre,Col_Disabled) values "
        L"('KSR_CONSOLE','" +
        ReplaceAll(store, L'\\', L'/') + L"','SysConfig',0)");
}

ServerInstall::~ServerInstall() {
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, subkey.c_str(), view, 0);
}

ServerRegistration ServerInstall::Registration() const {
    return ServerRegistration{L"HKEY_LOCAL_MACHINE", subkey, L"exe"};
}

void ServerInstall::WriteIni(const ServerSettings& s) const {
    const std::string ini = "[server_connection]\r\nDB_TYPE= " + Utf8(s.type) +
                            " \r\nDB_SERVER=" + Utf8(s.server) + "\r\nDB_PORT=" + Utf8(s.port) +
                            "\r\nDB_NAME=" + Utf8(s.name) + "\r\nDB_USER=" + Utf8(s.user) +
                            "\r\nDB_PWD=" + Utf8(s.password) + "\r\n";
    WriteBytes(installDir + L"\\public\\Data\\DataBase.ini", ini);
}

}  // namespace ksr::test
