#include "support/fault_db.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>

#include "support/unix_link.h"
#include "util/handles.h"

namespace ksr::test {
namespace {

constexpr wchar_t kFaultServer[] = L"KSRIMPORT_FAULT_DB";

std::wstring FaultConfig(const std::wstring& key) {
    wchar_t buffer[2048];
    const DWORD n = GetEnvironmentVariableW(kFaultServer, buffer, 2048);
    const std::wstring config = n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
    return ConfigField(config, key);
}

std::wstring ServerPid() {
    std::ifstream file(std::filesystem::path(UnixToWindowsPath(FaultConfig(L"pidfile"))));
    long pid = 0;
    file >> pid;
    return pid > 0 ? std::to_wstring(pid) : std::wstring();
}

// The process's state letter from /proc (R, S, T stopped, Z zombie...), or 0 once it is gone.
char ProcessState(const std::wstring& pid) {
    if (pid.empty()) return 0;
    std::ifstream file(std::filesystem::path(L"Z:\\proc\\" + pid + L"\\stat"));
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    const size_t paren = text.rfind(')');
    return paren != std::string::npos && paren + 2 < text.size() ? text[paren + 2] : 0;
}

bool WaitUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        Sleep(50);
    }
    return true;
}

bool Signal(const wchar_t* signal, const std::wstring& pid) {
    return !pid.empty() && StartUnix(L"Z:\\bin\\kill -" + std::wstring(signal) + L" " + pid);
}

// Restarts the server from its script and waits until it takes connections again.
bool Restart() {
    if (!StartUnix(L"Z:\\bin\\sh " + FaultConfig(L"restart"))) return false;
    // Each probe fails at once while the port is still closed.
    return WaitUntil([] { return ServerAnswers(kFaultServer).empty(); }, std::chrono::seconds(60));
}

// The fault server as the previous test may have left it, if it ended half-way through: a
// stopped server is let go, a dead one started again. Returns the server variable's name.
const wchar_t* FaultServerRunning() {
    if (FaultConfig(L"pidfile").empty()) return kFaultServer;
    const std::wstring pid = ServerPid();
    const char state = ProcessState(pid);
    if (state == 'T') {
        Signal(L"CONT", pid);
        WaitUntil([&] { return ProcessState(pid) != 'T'; }, std::chrono::seconds(10));
    } else if (state == 0 || state == 'Z') {
        Restart();
    }
    return kFaultServer;
}

}  // namespace

StallableDatabase::StallableDatabase() : TestDatabase(FaultServerRunning()) {}

StallableDatabase::~StallableDatabase() {
    if (state_ != State::Running) Resume();
}

void StallableDatabase::Stall() {
    const std::wstring pid = ServerPid();
    ASSERT_TRUE(Signal(L"STOP", pid)) << "the fault server's pid is unknown";
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(pid) == 'T'; }, std::chrono::seconds(10)))
        << "the fault server did not stop";
    state_ = State::Stalled;
}

void StallableDatabase::Resume() {
    if (state_ == State::Stalled) {
        const std::wstring pid = ServerPid();
        Signal(L"CONT", pid);
        EXPECT_TRUE(WaitUntil([&] { return ProcessState(pid) != 'T'; }, std::chrono::seconds(10)))
            << "the fault server did not resume";
    } else if (state_ == State::Dropped) {
        EXPECT_TRUE(Restart()) << "the fault server did not start again";
    }
    state_ = State::Running;
}

void StallableDatabase::Drop() {
    const std::wstring pid = ServerPid();
    ASSERT_TRUE(Signal(L"KILL", pid)) << "the fault server's pid is unknown";
    // A killed server lingers as a zombie until its parent reaps it; it no longer listens.
    ASSERT_TRUE(WaitUntil(
        [&] {
            const char state = ProcessState(pid);
            return state == 0 || state == 'Z';
        },
        std::chrono::seconds(10)))
        << "the fault server did not end";
    state_ = State::Dropped;
}

LaxDatabase::LaxDatabase() : TestDatabase(FaultServerRunning()) {
    if (!ok()) return;
    const auto mode = Query(L"select @@GLOBAL.sql_mode");
    if (mode.empty() || mode[0].empty() || !mode[0][0] ||
        mode[0][0]->find(L"STRICT") != std::wstring::npos) {
        error_ = L"the fault-test server is not in a non-strict sql_mode";
        return;
    }
    error_ = Exec(
        L"alter table PtpFile convert to character set utf8mb3;\n"
        L"alter table MD5File convert to character set utf8mb3;");
}

GlobalIsolation::GlobalIsolation(TestDatabase& db, const wchar_t* level) : db_(db) {
    if (!level) return;
    const auto was = db_.Query(L"select @@GLOBAL.tx_isolation");
    if (was.size() != 1 || was[0].size() != 1 || !was[0][0]) {
        error_ = L"the server's isolation could not be read";
        return;
    }
    error_ = db_.Exec(L"set global tx_isolation='" + std::wstring(level) + L"'");
    if (error_.empty()) was_ = *was[0][0];
}

GlobalIsolation::~GlobalIsolation() {
    if (!was_.empty()) db_.Exec(L"set global tx_isolation='" + was_ + L"'");
}

}  // namespace ksr::test
