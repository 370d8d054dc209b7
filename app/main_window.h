#pragma once

#include <windows.h>
#include <commctrl.h>
#include <shobjidl.h>
#include <wrl/client.h>

#include <array>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "app/dialogs.h"
#include "app/layout.h"
#include "app/message_texts.h"
#include "app/run_bridge.h"
#include "engine/import_state.h"
#include "engine/importer.h"
#include "util/handles.h"

namespace ksr {

inline constexpr wchar_t kMainWindowClass[] = L"KsrImportForm1";

// Form1: the operator's window. It owns the run state; a run works on a thread of its own
// and reaches the window only through posted messages.
class MainWindow {
  public:
    explicit MainWindow(Dialogs& dialogs, ServerRegistration registration = {});
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;
    ~MainWindow();

    bool Create(int showCommand);
    [[nodiscard]] HWND hwnd() const { return hwnd_; }
    [[nodiscard]] HWND Control(int id) const { return GetDlgItem(hwnd_, id); }
    // The tooltip that carries every caption its control cannot show whole.
    [[nodiscard]] HWND Tooltip() const { return tooltip_; }
    [[nodiscard]] bool IsRunning() const { return static_cast<bool>(bridge_); }
    [[nodiscard]] const ImportState& State() const { return state_; }

  private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);
    // A handler ended on an exception: a run going on ends as failed, and the operator is told.
    void OnHandlerFailed(UINT message);

    void CreateControls();
    void ApplyLayout(UINT dpi);
    // The window moved to a monitor of `dpi`; `suggested` is where the system would put it.
    void OnDpiChanged(UINT dpi, const RECT* suggested);
    void FitCaptions(UINT dpi);
    HFONT FontOfHeight(const LOGFONTW& base, int height);
    [[nodiscard]] LRESULT DrawButtonCaption(const NMCUSTOMDRAW& draw) const;
    void OnCommand(int id);
    void OnStartImporting();
    void StartRun();
    void ApplyRunUpdates(RunBridge& bridge);
    void AnswerRun(RunBridge::Question& question);
    // `unanswered`: the run ended without its end message getting through.
    void OnRunDone(bool unanswered);
    void OnClose();
    void EnableInputs(bool enabled);
    void ShowProgress(double fraction);
    void ClearProgress();
    void ShowEndMessage(const RunOutcome& outcome);
    [[nodiscard]] std::wstring ControlText(int id) const;

    Dialogs& dialogs_;
    ServerRegistration registration_;
    HWND hwnd_ = nullptr;
    HWND tooltip_ = nullptr;  // owned by the window, destroyed with it
    std::vector<unique_hfont> fonts_;
    std::wstring title_;  // the title before the run put its progress in front
    ImportState state_;
    std::unique_ptr<RunBridge> bridge_;
    std::thread worker_;
    bool closeAfterRun_ = false;
    bool runFailed_ = false;         // a handler failed during the run; not yet told
    bool reportingFailure_ = false;  // the failure message is up
    bool failureSaid_ = false;       // a failure outside a run was said once already
    UINT taskbarCreated_ = 0;
    Microsoft::WRL::ComPtr<ITaskbarList3> taskbar_;
};

}  // namespace ksr
