#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace ksr {

// The database settings of the server's INI file.
struct ServerSettings {
    std::wstring type;  // exactly "mysql" selects MySQL, anything else SQL Server
    std::wstring server;
    std::wstring port;
    std::wstring name;
    std::wstring user;
    std::wstring password;
};

// The run's connection string: the MySQL ODBC form or the SQL Server OLE DB form, every value
// inserted as it stands.
std::wstring BuildConnectionString(const ServerSettings& settings);

// Takes either form apart again; nullopt for a text of neither form.
std::optional<ServerSettings> ParseConnectionString(std::wstring_view text);

// What the ODBC driver manager is given: the MySQL form unchanged (values quoted where needed),
// the OLE DB form translated for the "SQL Server" ODBC driver; any other text passes as is.
std::wstring ToOdbcConnectionString(std::wstring_view text);

// How long the MySQL driver waits for the server: to connect and read its greeting, and for
// each read or write on an open connection. Zero leaves the driver's default (no limit).
struct DriverTimeouts {
    unsigned connectSeconds = 0;
    unsigned readWriteSeconds = 0;
};

// As above, with the MySQL form carrying the timeouts as driver options after the server's
// own text. The SQL Server form has no such options and is unchanged.
std::wstring ToOdbcConnectionString(std::wstring_view text, const DriverTimeouts& timeouts);

// An attribute value as ODBC wants it: in braces, "}" doubled, when it holds ";", "{" or "}".
std::wstring QuoteOdbcValue(std::wstring_view value);

}  // namespace ksr
