#pragma once

#include <cstdint>
#include <string>

namespace ksr {

// How a run ended, in the engine's own terms. The window words it for the operator.
struct RunOutcome {
    enum class Ending {
        Succeeded,             // every item the walk met went in
        PartlyFailed,          // `notImported` items were not imported, or kept their sources
        Stopped,               // the operator stopped the run; `notImported` items were left
        DatabaseLost,          // the database went away mid-run; `notImported` items were left
        DatabaseNotAnswering,  // the database took connections but answered no statement
        Refused,               // turned away before anything was written; `refusal` says why
        DatabaseUnreachable,   // no connection at the start; `driverMessage` says why
        NoStoreRoot,           // the store root could not be read; nothing was imported
        InternalFailure,       // the run ended on an unexpected error
    };
    enum class Refusal {
        NoFolderChosen,  // Text1 is empty or names no absolute folder on this machine
        NotOnServer,     // no server is registered on this machine
        FolderOverlaps,  // the folder is, holds or lies inside `overlap`
        NoRoom,          // the store's volume has only `roomFree` of the `roomNeeded` bytes
    };

    Ending ending = Ending::Succeeded;
    uint64_t notImported = 0;
    Refusal refusal = Refusal::NoFolderChosen;
    std::wstring overlap;        // a directory the import writes to
    std::wstring driverMessage;  // the driver's own words, without the password
    // Bytes: what the chosen folder needs free on the store's volume, its margin included, and
    // what the volume has.
    uint64_t roomNeeded = 0;
    uint64_t roomFree = 0;
    // The run report, when it lists items not imported; empty otherwise.
    std::wstring reportPath;
    bool logWritten = true;      // the run's activity lines reached the server log
    bool versionsBumped = true;  // the clients' version counters went up
};

}  // namespace ksr
