#include "server/connection_string.h"

#include <array>

namespace ksr {
namespace {

constexpr std::wstring_view kMySqlPrefix = L"DRIVER={MySQL ODBC 8.0 Unicode Driver};SERVER=";
constexpr std::wstring_view kMySqlSuffix = L";OPTION=3;stmt=";
constexpr std::wstring_view kOleDbPrefix = L"Provider=SQLOLEDB.1; User ID=";

// Cuts `text` at each marker in turn (first occurrence after the previous cut); the pieces
// between them, and the rest after the last marker, are the values.
template <size_t N>
std::optional<std::array<std::wstring, N + 1>> SplitAtMarkers(
    std::wstring_view text, const std::array<std::wstring_view, N>& markers) {
    std::array<std::wstring, N + 1> pieces;
    size_t from = 0;
    for (size_t i = 0; i < N; ++i) {
        const size_t at = text.find(markers[i], from);
        if (at == std::wstring_view::npos) return std::nullopt;
        pieces[i] = std::wstring(text.substr(from, at - from));
        from = at + markers[i].size();
    }
    pieces[N] = std::wstring(text.substr(from));
    return pieces;
}

// MariaDB Connector/ODBC: CONN_TIMEOUT bounds the connect and the wait for the server's
// greeting (the login timeout attribute alone does not: a server that accepts but never
// answers holds the connect forever); READ_TIMEOUT and WRITE_TIMEOUT bound every exchange of
// an open connection, which then fails with 2013 "Lost connection".
std::wstring MySqlTimeoutOptions(const DriverTimeouts& timeouts) {
    std::wstring options;
    if (timeouts.connectSeconds) {
        options += L";CONN_TIMEOUT=" + std::to_wstring(timeouts.connectSeconds);
    }
    if (timeouts.readWriteSeconds) {
        const std::wstring seconds = std::to_wstring(timeouts.readWriteSeconds);
        options += L";READ_TIMEOUT=" + seconds + L";WRITE_TIMEOUT=" + seconds;
    }
    return options;
}

}  // namespace

std::wstring BuildConnectionString(const ServerSettings& s) {
    if (s.type == L"mysql") {
        return std::wstring(kMySqlPrefix) + s.server + L";Port=" + s.port + L";DATABASE=" + s.name +
               L";UID=" + s.user + L";PWD=" + s.password + std::wstring(kMySqlSuffix);
    }
    return std::wstring(kOleDbPrefix) + s.user + L";Password=" + s.password + L";Initial Catalog=" +
           s.name + L"; Data Source=" + s.server + L"," + s.port;
}

std::optional<ServerSettings> ParseConnectionString(std::wstring_view text) {
    if (text.starts_with(kMySqlPrefix) && text.ends_with(kMySqlSuffix)) {
        const std::wstring_view body = text.substr(
            kMySqlPrefix.size(), text.size() - kMySqlPrefix.size() - kMySqlSuffix.size());
        const auto p = SplitAtMarkers<4>(body, {L";Port=", L";DATABASE=", L";UID=", L";PWD="});
        if (!p) return std::nullopt;
        return ServerSettings{L"mysql", (*p)[0], (*p)[1], (*p)[2], (*p)[3], (*p)[4]};
    }
    if (text.starts_with(kOleDbPrefix)) {
        const auto p = SplitAtMarkers<3>(text.substr(kOleDbPrefix.size()),
                                         {L";Password=", L";Initial Catalog=", L"; Data Source="});
        if (!p) return std::nullopt;
        const std::wstring& source = (*p)[3];
        const size_t comma = source.rfind(L',');
        ServerSettings s{L"", source, L"", (*p)[2], (*p)[0], (*p)[1]};
        if (comma != std::wstring::npos) {
            s.server = source.substr(0, comma);
            s.port = source.substr(comma + 1);
        }
        return s;
    }
    return std::nullopt;
}

std::wstring QuoteOdbcValue(std::wstring_view value) {
    if (value.find_first_of(L";{}") == std::wstring_view::npos) return std::wstring(value);
    std::wstring quoted = L"{";
    for (const wchar_t c : value) {
        quoted += c;
        if (c == L'}') quoted += L'}';
    }
    return quoted + L"}";
}

std::wstring ToOdbcConnectionString(std::wstring_view text) {
    return ToOdbcConnectionString(text, DriverTimeouts{});
}

std::wstring ToOdbcConnectionString(std::wstring_view text, const DriverTimeouts& timeouts) {
    const auto s = ParseConnectionString(text);
    if (!s) return std::wstring(text);
    if (s->type == L"mysql") {
        return std::wstring(kMySqlPrefix) + QuoteOdbcValue(s->server) + L";Port=" +
               QuoteOdbcValue(s->port) + L";DATABASE=" + QuoteOdbcValue(s->name) + L";UID=" +
               QuoteOdbcValue(s->user) + L";PWD=" + QuoteOdbcValue(s->password) +
               std::wstring(kMySqlSuffix) + MySqlTimeoutOptions(timeouts);
    }
    std::wstring server = s->server;
    if (!s->port.empty()) server += L"," + s->port;
    return L"DRIVER={SQL Server};SERVER=" + QuoteOdbcValue(server) + L";DATABASE=" +
           QuoteOdbcValue(s->name) + L";UID=" + QuoteOdbcValue(s->user) + L";PWD=" +
           QuoteOdbcValue(s->password);
}

}  // namespace ksr
