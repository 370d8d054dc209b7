#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/connection_string.h"

namespace ksr::test {

using Row = std::vector<std::optional<std::wstring>>;

// A fresh database on the harness's MariaDB (KSRIMPORT_TEST_DB, or the server another
// variable of the same form names), holding the server's tables, dropped again at the end of
// the test.
class TestDatabase {
  public:
    explicit TestDatabase(const wchar_t* serverVariable = L"KSRIMPORT_TEST_DB");
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

  protected:
    std::wstring config_;  // the server variable's "key=value;..." text
    std::wstring error_;

  private:
    std::wstring host_, port_, user_, password_, name_;
};

// Empty when the server the variable names takes a connection, else the driver's message.
std::wstring ServerAnswers(const wchar_t* serverVariable);

// One value of a "key=value;..." text; empty when absent.
std::wstring ConfigField(const std::wstring& config, const std::wstring& key);
// A Unix path as a Wine program reaches it, through drive Z:.
std::wstring UnixToWindowsPath(const std::wstring& path);

// A file of the fixtures folder, and of the build tree, as Windows paths.
std::wstring FixturePath(const std::wstring& name);
std::wstring BuildOutput(const std::wstring& name);

}  // namespace ksr::test
