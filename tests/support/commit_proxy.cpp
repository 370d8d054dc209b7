#include <winsock2.h>
#include <ws2tcpip.h>

#include "support/commit_proxy.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "util/handles.h"

namespace ksr::test {
namespace {

struct SocketTraits {
    using Type = SOCKET;
    static SOCKET Empty() { return INVALID_SOCKET; }
    static void Close(SOCKET s) { closesocket(s); }
};
using unique_socket = unique_any<SocketTraits>;

// Waits a while for one of the sockets in `set` to be readable; `set` keeps those that are.
bool Readable(fd_set& set) {
    timeval tick{0, 50 * 1000};
    return select(0, &set, nullptr, nullptr, &tick) > 0;
}

bool SendAll(SOCKET s, const std::string& bytes) {
    for (size_t at = 0; at < bytes.size();) {
        const int n = send(s, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
        if (n <= 0) return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

// A packet is a 3-byte little-endian payload length, a sequence byte and the payload; a query
// is the payload 0x03 followed by its text.
size_t PacketSize(const std::string& bytes) {
    if (bytes.size() < 4) return 0;
    const auto byte = [&](size_t i) { return static_cast<size_t>(static_cast<uint8_t>(bytes[i])); };
    const size_t size = 4 + (byte(0) | byte(1) << 8 | byte(2) << 16);
    return bytes.size() >= size ? size : 0;
}

bool IsCommit(const std::string& packet) {
    return packet.size() == 4 + 7 && packet[4] == '\x03' &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, packet.data() + 5, 6, "COMMIT", 6) ==
               CSTR_EQUAL;
}

// Winsock for as long as the proxy's sockets live.
struct Winsock {
    WSADATA data{};
    bool started = WSAStartup(MAKEWORD(2, 2), &data) == 0;
    Winsock() = default;
    Winsock(const Winsock&) = delete;
    Winsock& operator=(const Winsock&) = delete;
    ~Winsock() {
        if (started) WSACleanup();
    }
};

}  // namespace

struct CommitHoldingProxy::State {
    Winsock winsock;  // first, so that it goes last
    sockaddr_in server{};
    unique_socket listener;
    std::wstring port;
    std::atomic<bool> stopping{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool armed = false, released = false;
    DWORD holdMs = 0;
    Then then = Then::Forward;
    std::thread acceptor;
    std::vector<std::thread> relays;  // added by the acceptor, under the mutex

    void Accept() {
        while (!stopping) {
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(listener.get(), &ready);
            if (!Readable(ready)) continue;
            unique_socket client(accept(listener.get(), nullptr, nullptr));
            unique_socket upstream(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
            if (!client || !upstream ||
                connect(upstream.get(), reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
                continue;
            }
            const std::lock_guard lock(mutex);
            relays.emplace_back([this, c = std::move(client), s = std::move(upstream)]() mutable {
                try {
                    Relay(c.get(), s.get());
                } catch (...) {
                }
            });
        }
    }

    // Forwards the client's complete packets up to one that it holds.
    bool Forward(std::string& pending, std::string& held, ULONGLONG& releaseAt, Then& fate,
                 SOCKET upstream) {
        while (held.empty()) {
            const size_t size = PacketSize(pending);
            if (size == 0) return true;
            std::string packet = pending.substr(0, size);
            pending.erase(0, size);
            if (IsCommit(packet)) {
                const std::lock_guard lock(mutex);
                if (std::exchange(armed, false)) {
                    held = std::move(packet);
                    releaseAt = GetTickCount64() + holdMs;
                    fate = then;
                    continue;
                }
            }
            if (!SendAll(upstream, packet)) return false;
        }
        return true;
    }

    void Release() {
        const std::lock_guard lock(mutex);
        released = true;
        changed.notify_all();
    }

    void Relay(SOCKET client, SOCKET upstream) {
        std::string held;
        Pump(client, upstream, held);
        // A COMMIT still held when its connection ends is never sent.
        if (!held.empty()) Release();
    }

    void Pump(SOCKET client, SOCKET upstream, std::string& held) {
        std::string pending;
        ULONGLONG releaseAt = 0;
        Then fate = Then::Forward;
        bool clientOpen = true;
        char buffer[64 * 1024];
        while (!stopping) {
            if (!held.empty() && GetTickCount64() >= releaseAt) {
                // Closing the server's end of the connection makes it roll back.
                if (fate == Then::Drop) return;
                if (!SendAll(upstream, std::exchange(held, {}))) return;
                Release();
                if (!Forward(pending, held, releaseAt, fate, upstream)) return;
            }
            fd_set ready;
            FD_ZERO(&ready);
            FD_SET(upstream, &ready);
            // While a packet is held the client is not read, so that nothing overtakes it.
            if (clientOpen && held.empty()) FD_SET(client, &ready);
            if (!Readable(ready)) continue;
            if (FD_ISSET(client, &ready)) {
                const int n = recv(client, buffer, sizeof buffer, 0);
                if (n > 0) {
                    pending.append(buffer, static_cast<size_t>(n));
                    if (!Forward(pending, held, releaseAt, fate, upstream)) return;
                } else {
                    // The server ends the session once it has answered what it was sent.
                    clientOpen = false;
                    shutdown(upstream, SD_SEND);
                }
            }
            if (FD_ISSET(upstream, &ready)) {
                const int n = recv(upstream, buffer, sizeof buffer, 0);
                if (n <= 0) return;
                // A client that gave up has closed its end; the answer goes nowhere.
                if (clientOpen) SendAll(client, std::string(buffer, static_cast<size_t>(n)));
            }
        }
    }
};

CommitHoldingProxy::CommitHoldingProxy(const std::wstring& host, const std::wstring& port)
    : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.server.sin_family = AF_INET;
    s.server.sin_port = htons(static_cast<u_short>(std::stoi(port)));
    if (!s.winsock.started || InetPtonW(AF_INET, host.c_str(), &s.server.sin_addr) != 1) return;
    s.listener.reset(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int size = sizeof local;
    if (!s.listener || bind(s.listener.get(), reinterpret_cast<sockaddr*>(&local), size) != 0 ||
        listen(s.listener.get(), SOMAXCONN) != 0 ||
        getsockname(s.listener.get(), reinterpret_cast<sockaddr*>(&local), &size) != 0) {
        s.listener.reset();
        return;
    }
    s.port = std::to_wstring(ntohs(local.sin_port));
    s.acceptor = std::thread([&s] {
        try {
            s.Accept();
        } catch (...) {
        }
    });
}

CommitHoldingProxy::~CommitHoldingProxy() {
    State& s = *state_;
    s.stopping = true;
    if (s.acceptor.joinable()) s.acceptor.join();
    for (std::thread& relay : s.relays) relay.join();
}

bool CommitHoldingProxy::ok() const {
    return !state_->port.empty();
}

std::wstring CommitHoldingProxy::Port() const {
    return state_->port;
}

void CommitHoldingProxy::HoldNextCommit(DWORD ms, Then then) {
    const std::lock_guard lock(state_->mutex);
    state_->armed = true;
    state_->released = false;
    state_->holdMs = ms;
    state_->then = then;
}

bool CommitHoldingProxy::Released(DWORD ms) {
    std::unique_lock lock(state_->mutex);
    return state_->changed.wait_for(lock, std::chrono::milliseconds(ms),
                                    [&] { return state_->released; });
}

}  // namespace ksr::test
