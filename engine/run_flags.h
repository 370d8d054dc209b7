#pragma once

#include <atomic>

#include "server/database.h"

namespace ksr {

// Whether a run may go on. Read on every thread of the run; set by the walk (a stop) and by
// whichever thread meets the database gone.
struct RunFlags {
    std::atomic<bool> stopped{false};
    std::atomic<bool> databaseLost{false};
    // Set with databaseLost: the server took connections but answered no statement.
    std::atomic<bool> databaseSilent{false};

    void Reset() {
        stopped = false;
        databaseLost = false;
        databaseSilent = false;
    }
    // The walk goes no further.
    [[nodiscard]] bool Ending() const { return stopped || databaseLost; }

    // After a connection-level failure of `session`: true when the database answers again;
    // otherwise it is lost, and the run stops after the file in hand.
    [[nodiscard]] bool DatabaseBack(DbSession& session) {
        if (databaseLost) return false;
        if (session.Open().ok()) return true;
        databaseLost = true;
        return false;
    }
    // The server took a new connection, yet its statements still got no answer.
    void DatabaseNotAnswering() {
        databaseSilent = true;
        databaseLost = true;
    }
};

}  // namespace ksr
