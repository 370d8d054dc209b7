#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace ksr::test {

// A TCP proxy on a loopback port of its own that forwards MySQL-protocol traffic both ways
// between its clients and a server, and can hold the first client packet that is the query
// "COMMIT" for a while, as a network that delays it would. Threads of its own accept and relay;
// the test's thread calls its methods.
class CommitHoldingProxy {
  public:
    // What becomes of the held COMMIT once its time is up.
    enum class Then {
        Forward,  // sent on to the server
        Drop,     // never sent: the proxy closes that connection to the server instead
    };

    CommitHoldingProxy(const std::wstring& host, const std::wstring& port);
    ~CommitHoldingProxy();  // closes every connection
    CommitHoldingProxy(const CommitHoldingProxy&) = delete;
    CommitHoldingProxy& operator=(const CommitHoldingProxy&) = delete;

    [[nodiscard]] bool ok() const;
    // The port it listens on, on 127.0.0.1.
    [[nodiscard]] std::wstring Port() const;
    // Holds the next COMMIT any client sends for `ms`, then does `then` with it.
    void HoldNextCommit(DWORD ms, Then then);
    // Waits up to `ms` until a held COMMIT was forwarded or dropped; false when none was.
    [[nodiscard]] bool Released(DWORD ms);

  private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace ksr::test
