#include "tests/e2e/operator.h"

#include <psapi.h>

#include <chrono>
#include <thread>

#include "app/layout.h"
#include "util/handles.h"

namespace ksr::e2e {
namespace {

// The folder chooser's file-name box, as the shell's common dialog numbers it.
constexpr int kChooserNameBox = 0x480;
// The text of a message box.
constexpr int kMessageText = 0xFFFF;

using Clock = std::chrono::steady_clock;

// GetWindowText does not ask a window of another process for its text (an edit box keeps
// its own), so the text is asked for with the message itself.
std::wstring TextOf(HWND hwnd) {
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) {
        return {};
    }
    std::wstring text(length + 1, L'\0');
    DWORD_PTR copied = 0;
    SendMessageTimeoutW(hwnd, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                        SMTO_ABORTIFHUNG, 5000, &copied);
    text.resize(copied);
    return text;
}

std::wstring ClassOf(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

struct Search {
    DWORD pid;
    HWND owner;
    const wchar_t* cls;
    HWND found;
};

// A visible top-level window of the process with the given class (and owner, when given).
HWND FindTopLevel(DWORD pid, const wchar_t* cls, HWND owner) {
    Search search{pid, owner, cls, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM param) -> BOOL {
            auto* s = reinterpret_cast<Search*>(param);
            DWORD pid = 0;
            GetWindowThreadProcessId(hwnd, &pid);
            if (pid != s->pid || !IsWindowVisible(hwnd) || ClassOf(hwnd) != s->cls) return TRUE;
            if (s->owner && GetWindow(hwnd, GW_OWNER) != s->owner) return TRUE;
            s->found = hwnd;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// The child control showing `caption`, found as a user finds it: by what it says.
HWND FindByCaption(HWND parent, const std::wstring& caption) {
    for (HWND child = GetWindow(parent, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (TextOf(child) == caption) return child;
    }
    return nullptr;
}

template <typename F>
bool WaitFor(F&& done, Clock::time_point deadline) {
    while (!done()) {
        if (Clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// Closes the window as its close box does and waits for the program to end.
template <typename Fail>
OperatorResult Close(HWND form, HANDLE process, OperatorResult& result, Fail&& fail) {
    // An ended process has no memory figures to give.
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, &memory, sizeof memory))
        result.peakWorkingSet = memory.PeakWorkingSetSize;
    PostMessageW(form, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(process, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(process, 1);
        return fail(L"ksrimport.exe did not end when its window was closed");
    }
    GetExitCodeProcess(process, &result.exitCode);
    result.ok = true;
    return result;
}

}  // namespace

OperatorResult PlayOperator(const OperatorScript& script) {
    OperatorResult result;
    const auto say = [&](const std::wstring& line) {
        if (script.say) script.say(line);
    };
    const auto fail = [&](const std::wstring& why) {
        result.failure = why;
        say(L"FAILED: " + why);
        return result;
    };
    const auto deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<int>(script.timeoutSeconds * 1000));

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + script.exe + L"\"";
    if (!CreateProcessW(script.exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return fail(L"ksrimport.exe could not be started");
    }
    unique_handle processHandle(process.hProcess);
    unique_handle threadHandle(process.hThread);
    const DWORD pid = process.dwProcessId;

    HWND form = nullptr;
    if (!WaitFor([&] { return (form = FindTopLevel(pid, L"KsrImportForm1", nullptr)) != nullptr; },
                 deadline)) {
        return fail(L"the main window did not appear");
    }
    say(L"window: " + TextOf(form));
    HWND command1 = FindByCaption(form, L"Import public documents");
    HWND command3 = FindByCaption(form, L"Start importing");
    HWND check1 = FindByCaption(form, L"Delete the original file after importing");
    HWND check2 =
        FindByCaption(form, L"The selected folder is the root directory of the public document");
    if (!command1 || !command3 || !check1 || !check2) return fail(L"a control is missing");
    HWND text1 = GetDlgItem(form, kText1);
    HWND label2 = GetDlgItem(form, kLabel2);
    const auto picture = [&](const wchar_t* moment) {
        if (script.picture) script.picture(form, moment);
    };
    if (script.lookOnly) {
        picture(L"window");
        return Close(form, processHandle.get(), result, fail);
    }

    // The chooser is modal: the click is posted so this side stays free to answer it.
    PostMessageW(command1, BM_CLICK, 0, 0);
    HWND chooser = nullptr;
    if (!WaitFor([&] { return (chooser = FindTopLevel(pid, L"#32770", form)) != nullptr; },
                 deadline)) {
        return fail(L"the folder chooser did not open");
    }
    say(L"folder chooser: " + TextOf(chooser));
    HWND nameBox = GetDlgItem(chooser, kChooserNameBox);
    if (!nameBox) return fail(L"the folder chooser has no name box");
    // The chooser fills its views after it shows; typing too early is overwritten. The path
    // is typed again until the chooser takes it.
    for (int attempt = 0; IsWindow(chooser) && attempt < 20; ++attempt) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        SendMessageW(nameBox, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(script.folder.c_str()));
        if (TextOf(nameBox) != script.folder) continue;
        SendMessageW(GetDlgItem(chooser, IDOK), BM_CLICK, 0, 0);
        WaitFor([&] { return !IsWindow(chooser); }, Clock::now() + std::chrono::seconds(2));
    }
    if (!WaitFor([&] { return !TextOf(text1).empty(); }, deadline)) {
        return fail(L"the chosen folder did not reach Text1");
    }
    result.text1 = TextOf(text1);
    say(L"Text1: " + result.text1);

    if (script.rootMode) SendMessageW(check2, BM_CLICK, 0, 0);
    if (script.deleteSources) SendMessageW(check1, BM_CLICK, 0, 0);
    picture(L"before");
    PostMessageW(command3, BM_CLICK, 0, 0);
    say(L"pressed: Start importing");

    bool ended = false, pictured = false;
    while (!ended) {
        if (Clock::now() > deadline) return fail(L"the run did not end in time");
        if (label2) {
            const std::wstring progress = TextOf(label2);
            if (!progress.empty() &&
                (result.progress.empty() || result.progress.back() != progress)) {
                result.progress.push_back(progress);
                // The window changes both on one turn of its thread; a title read between
                // two equal percentages belongs to them.
                const std::wstring title = TextOf(form);
                if (TextOf(label2) == progress) result.titles.push_back(title);
                if (!pictured && progress != L"100%") {
                    pictured = true;
                    picture(L"running");
                }
            }
        }
        HWND box = FindTopLevel(pid, L"#32770", form);
        if (!box) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        const std::wstring caption = TextOf(box);
        const std::wstring text = TextOf(GetDlgItem(box, kMessageText));
        result.messages.push_back(text);
        say(L"message [" + caption + L"]: " + text);
        HWND yes = GetDlgItem(box, IDYES);
        HWND button = yes ? yes : GetDlgItem(box, IDOK);
        if (!button) button = GetDlgItem(box, IDCANCEL);
        say(std::wstring(L"answered: ") + (yes ? L"Yes" : L"OK"));
        // Every box but the delete question ends the run.
        ended = !yes;
        SendMessageW(button, BM_CLICK, 0, 0);
        WaitFor([&] { return !IsWindow(box); }, deadline);
    }
    // The run is over once Command3 is enabled again.
    if (!WaitFor([&] { return IsWindowEnabled(command3) != FALSE; }, deadline)) {
        return fail(L"Start importing was not enabled again");
    }
    return Close(form, processHandle.get(), result, fail);
}

}  // namespace ksr::e2e
