#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/connection_string.h"

namespace ksr::test {

using Row = std::vector<std::optional<std::wstring>>;

// A fresh database on the harness's MariaDB (KSRIMPORT_TEST_DB), holding the server's tables,
// dropped again at the end of the test.
class TestDatabase {
  public:
    TestDatabase();
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    ~TestDatabase();

    bool ok() const { return error_.empty(); }
    const std::wstring& error() const { return error_; }
    const std::wstring& name() const { return name_; }

    // Settings as the server's INI file would hold them for this database.
    ServerSettings Settings() const;
    std::wstring ConnString() const { return BuildConnectionString(Settings()); }
    // A connection string to the server without choosing a database.
    std::wstring AdminConnString() const;

    // Runs statements (";"-separated at line ends) and returns the rows of the last one.
    std::vector<Row> Query(const std::wstring& sql);
    std::wstring Exec(const std::wstring& sql);  // empty, or the driver's message

  private:
    std::wstring host_, port_, user_, password_, name_, error_;
};

// A file of the fixtures folder, and of the build tree, as Windows paths.
std::wstring FixturePath(const std::wstring& name);
std::wstring BuildOutput(const std::wstring& name);

}  // namespace ksr::test
