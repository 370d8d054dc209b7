#pragma once

#include <string>

#include "support/test_db.h"

namespace ksr::test {

// A database on the fault-test MariaDB (KSRIMPORT_FAULT_DB): a private server of its own that a
// test may make stop answering and bring back, while the shared one stays up. That server runs
// with a non-strict sql_mode. Tests on it must not run in parallel with each other.
class StallableDatabase : public TestDatabase {
  public:
    StallableDatabase();
    ~StallableDatabase();

    // Stops the server's process: open connections and new connection attempts get no answer
    // (the system still accepts the TCP connection), as with a server that hangs.
    void Stall();
    // Lets the server run again, or starts it afresh after Drop(); returns once it answers.
    void Resume();
    // Kills the server: open connections are cut and new ones refused until Resume().
    void Drop();

  private:
    enum class State { Running, Stalled, Dropped };
    State state_ = State::Running;
};

// A database on the fault-test server whose PtpFile and MD5File tables hold 3-byte utf8mb3
// text, so that, under the server's non-strict sql_mode, an emoji or an over-long value is
// stored altered with only a warning.
class LaxDatabase : public TestDatabase {
  public:
    LaxDatabase();
};

// The server's default transaction isolation for new connections ("READ-UNCOMMITTED" and so
// on), set on `db`'s server and restored when destroyed. Null leaves it as it is.
class GlobalIsolation {
  public:
    GlobalIsolation(TestDatabase& db, const wchar_t* level);
    ~GlobalIsolation();
    GlobalIsolation(const GlobalIsolation&) = delete;
    GlobalIsolation& operator=(const GlobalIsolation&) = delete;
    // Empty, or why the level could not be set.
    const std::wstring& error() const { return error_; }

  private:
    TestDatabase& db_;
    std::wstring was_, error_;
};

}  // namespace ksr::test
