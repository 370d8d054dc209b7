#pragma once

#include <string>

#include "engine/importer.h"
#include "support/temp_dir.h"
#include "support/test_db.h"

namespace ksr::test {

// A server installation of the test's own: a registry key naming its executable, its
// DataBase.ini pointing at a fresh database, and a store directory named in Tab_Config.
class ServerInstall {
  public:
    // With `registered`, the installation is recorded under the key the tool reads itself,
    // as the server's installer does.
    explicit ServerInstall(bool registered = false);
    ~ServerInstall();
    ServerInstall(const ServerInstall&) = delete;
    ServerInstall& operator=(const ServerInstall&) = delete;

    bool ok() const { return db.ok(); }
    ServerRegistration Registration() const;
    void WriteIni(const ServerSettings& settings) const;

    TempDir dir;
    TestDatabase db;
    std::wstring installDir;  // holds KvoServer.exe and public\Data\DataBase.ini
    std::wstring exePath;
    std::wstring store;    // the store root, as the server holds it with "\" separators
    std::wstring sources;  // a place for the trees to import
    std::wstring subkey;
    REGSAM view;
};

}  // namespace ksr::test
