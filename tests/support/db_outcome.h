#pragma once

#include <optional>
#include <string>
#include <utility>

#include "server/database.h"

namespace ksr::test {

// A session's answer laid out for assertions: what came back (no value for no row, NULL or a
// failure) and the error (no value on success).
struct QueriedValue {
    std::optional<std::wstring> value;
    std::optional<Error> error;
};
struct QueriedRow {
    DbRow values;
    std::optional<Error> error;
};

inline QueriedValue Outcome(Result<std::optional<std::wstring>> result) {
    if (!result) return {std::nullopt, std::move(result).error()};
    return {std::move(*result), std::nullopt};
}
inline QueriedRow Outcome(Result<DbRow> result) {
    if (!result) return {{}, std::move(result).error()};
    return {std::move(*result), std::nullopt};
}
// The error of a status; no value when it succeeded.
inline std::optional<Error> Outcome(Status status) {
    if (status) return std::nullopt;
    return std::move(status).error();
}

}  // namespace ksr::test
