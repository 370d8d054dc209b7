#pragma once

#include <string>

namespace ksr {

// What the run report lists an item as.
enum class ItemKind {
    FileNotImported,
    FolderNotImported,
    SourceKept,     // imported, but its source the operator asked to delete is still there
    Skipped,        // passed over by rule, not a failure: in the run report only
    AlreadyStored,  // imported by an earlier run, not a failure: in the run report only
};

// One item the run did not import (or, for a source kept, did not delete), with why.
struct RunFailure {
    std::wstring path;
    ItemKind kind = ItemKind::FolderNotImported;
    std::wstring reason;
};

// The run report's words for an item's kind.
[[nodiscard]] const wchar_t* ItemKindText(ItemKind kind);

}  // namespace ksr
