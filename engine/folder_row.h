#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/database.h"
#include "util/result.h"

namespace ksr {

// Inserts a PtpFolder row and returns the id the server gave it, read on the same connection
// so that no other writer's row can answer instead; no value when the server did not tell.
// Called on the thread that registers folders.
[[nodiscard]] Result<std::optional<std::wstring>> InsertFolderRow(DbSession& db, bool mysql,
                                                                  std::wstring_view name,
                                                                  std::wstring_view ParentID,
                                                                  std::wstring_view MyID);

// The id of the folder row of owner `MyID` and type 1 named `name` (letter case aside, as the
// store's file system takes names) under `ParentID`: the smallest when earlier runs left twins;
// no value when there is none. Only rows numbered above `floor` are looked at ("0": all). Called
// on the thread that registers folders.
[[nodiscard]] Result<std::optional<std::wstring>> FindFolderRow(DbSession& db,
                                                                std::wstring_view name,
                                                                std::wstring_view ParentID,
                                                                std::wstring_view MyID,
                                                                std::wstring_view floor);
// The query FindFolderRow sends.
const wchar_t* FolderRowQuery();

// The statements InsertFolderRow sends to the server.
std::vector<std::wstring> FolderInsertStatements(bool mysql);

// The queries that find a folder's id when the server did not tell it, each taking the
// parameters named.
struct FolderIdQueries {
    const wchar_t* ownersNewest;   // MyID: the owner's largest folder id
    const wchar_t* nameAndParent;  // PtpFolderID: that folder's UsName and ParentID
    const wchar_t* newestOfName;   // MyID, UsName, ParentID: the largest id of that folder
};
const FolderIdQueries& FolderIdFallback(bool mysql);

}  // namespace ksr
