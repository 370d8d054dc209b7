#pragma once

// How a run is put together: docs/DESIGN.md.

#include <windows.h>

#include <string>
#include <unordered_set>

#include "engine/run_flags.h"
#include "engine/run_places.h"
#include "server/database.h"
#include "server/named_lock.h"
#include "util/result.h"

namespace ksr {

// A folder's row as Register left it.
struct RegisteredFolder {
    std::wstring id;
    bool found = false;  // the public area held it already: no row was inserted
};

// Registers folders on a connection of their own: a folder's id is needed before the walk can go
// below it, while file rows wait on the row writer's connection to go in batches. Used by one
// thread at a time: the run's thread for the chosen folder itself, the row writer's thread
// during the walk.
class FolderRegistrar {
  public:
    FolderRegistrar(DbSession& db, const RunPlaces& places, RunFlags& flags)
        : db_(db), places_(places), mysql_(places.mysql), flags_(flags) {}

    // Finds the folder's row, or inserts it, and returns its id; in a check inserts nothing and
    // returns an id that names no row. The look-up and the insert hold the import runs' folder
    // lock, so two runs never both insert one folder. Fails with ERROR_FILENAME_EXCED_RANGE when
    // the name is longer than the server's column, before anything is sent; with the database's
    // error; with ERROR_NOT_FOUND when the row just inserted could not be found; with
    // ERROR_CONNECTION_ABORTED when the database was lost before. Reason words the failure.
    [[nodiscard]] Result<RegisteredFolder> Register(const std::wstring& name,
                                                    const std::wstring& ParentID,
                                                    const std::wstring& MyID);
    // Lets the runs' folder lock go once it was held a while, or at once with `now`. Register
    // keeps it from one folder to the next, so that the folders met close together take it
    // once; the committer calls this whenever it has run out of units for the moment (with
    // `now` once nothing came for a while), so another run waits a quarter of a second at most
    // beyond this run's commits in hand.
    void LetGo(bool now);
    [[nodiscard]] bool HoldsLock() const { return lock_.Held(); }
    // Why a folder Register failed to register was not imported, told right after.
    [[nodiscard]] std::wstring Reason(const Error& error) const;

  private:
    // Inserts the folder's row and returns its id.
    [[nodiscard]] Result<std::wstring> Insert(const std::wstring& name,
                                              const std::wstring& ParentID,
                                              const std::wstring& MyID);
    // The id of the row just inserted, when the server did not tell it.
    [[nodiscard]] Result<std::optional<std::wstring>> FindOwnRow(const std::wstring& name,
                                                                 const std::wstring& ParentID,
                                                                 const std::wstring& MyID);

    DbSession& db_;
    const RunPlaces& places_;
    const bool mysql_;
    RunFlags& flags_;
    // The ids of the folder rows this run inserted.
    std::unordered_set<std::wstring> inserted_;
    NamedLock lock_;
    ULONGLONG lockedAt_ = 0;  // when lock_ was taken
};

}  // namespace ksr
