#include "app/main_window.h"

#include <commctrl.h>

#include <algorithm>
#include <utility>

#include "app/caption_fit.h"
#include "app/end_message.h"
#include "app/progress_title.h"
#include "util/handles.h"
#include "util/thread_name.h"

namespace ksr {
namespace {

constexpr wchar_t kPickPublic[] = L"请选择公共文档的路径";
constexpr wchar_t kPickNetwork[] = L"请选择网络硬盘的路径";

const wchar_t* ClassOf(ControlKind kind) {
    switch (kind) {
        case ControlKind::Button:
        case ControlKind::CheckBox:
            return L"BUTTON";
        case ControlKind::TextBox:
            return L"EDIT";
        case ControlKind::Label:
            return L"STATIC";
        case ControlKind::ListBox:
            return L"LISTBOX";
    }
    return L"STATIC";
}

DWORD StyleOf(const ControlSpec& control) {
    DWORD style = WS_CHILD | WS_VISIBLE;
    if (control.reachable) style |= WS_TABSTOP;
    switch (control.kind) {
        case ControlKind::Button:
            return style | BS_PUSHBUTTON;
        case ControlKind::CheckBox:
            return style | BS_AUTOCHECKBOX;
        case ControlKind::TextBox:
            return style | ES_AUTOHSCROLL;
        case ControlKind::Label:
            // SS_NOTIFY lets the label see the mouse, so that its tooltip can show.
            return (style & ~WS_TABSTOP) | SS_LEFT | SS_NOPREFIX | SS_NOTIFY;
        case ControlKind::ListBox:
            return style | LBS_NOINTEGRALHEIGHT | WS_VSCROLL;
    }
    return style;
}

RunOutcome InternalFailure() {
    RunOutcome outcome;
    outcome.ending = RunOutcome::Ending::InternalFailure;
    return outcome;
}

UINT WindowDpi(HWND hwnd) {
    const UINT dpi = GetDpiForWindow(hwnd);
    return dpi == 0 ? 96 : dpi;
}

}  // namespace

MainWindow::MainWindow(Dialogs& dialogs, ServerRegistration registration)
    : dialogs_(dialogs), registration_(std::move(registration)) {}

MainWindow::~MainWindow() {
    if (hwnd_) DestroyWindow(hwnd_);
    // A run still going here lost its window: it stops after the file in hand, and its
    // questions go unanswered once the window is gone.
    if (bridge_) bridge_->RequestStop();
    if (worker_.joinable()) worker_.join();
}

bool MainWindow::Create(int showCommand) {
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof controls;
    controls.dwICC = ICC_BAR_CLASSES;  // the tooltip
    InitCommonControlsEx(&controls);

    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.hIcon = LoadIconW(wc.hInstance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kMainWindowClass;
    RegisterClassExW(&wc);  // a second window of the process finds the class registered

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    hwnd_ = CreateWindowExW(WS_EX_CONTROLPARENT, kMainWindowClass, kAppTitle, style, CW_USEDEFAULT,
                            CW_USEDEFAULT, 400, 300, nullptr, nullptr, wc.hInstance, this);
    if (!hwnd_) return false;
    taskbarCreated_ = RegisterWindowMessageW(L"TaskbarButtonCreated");
    ShowWindow(hwnd_, showCommand);
    return true;
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        auto* self =
            static_cast<MainWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
        self->hwnd_ = hwnd;
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (!self) return DefWindowProcW(hwnd, message, wParam, lParam);
    try {
        return self->Handle(message, wParam, lParam);
    } catch (...) {
        // Nothing may unwind through the system's window code.
        self->OnHandlerFailed(message);
        return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

void MainWindow::OnHandlerFailed(UINT message) {
    if (IsRunning()) {
        // The run stops after the file in hand and writes its log; its end message then says
        // that it failed.
        runFailed_ = true;
        bridge_->RequestStop();
        return;
    }
    // What the operator asked for did not happen: nothing may carry over to the next run. A
    // handler that fails on every paint or resize is said once, not after every box closed.
    if (reportingFailure_ || (message != WM_COMMAND && message != kMsgRunDone && failureSaid_))
        return;
    reportingFailure_ = true;
    failureSaid_ = true;
    runFailed_ = false;  // said here, so the next run's end message does not carry it
    state_.DeleteAfterImport = false;
    EnableInputs(true);
    try {
        ShowEndMessage(InternalFailure());
    } catch (...) {
        MessageBoxW(hwnd_, msg::kRunFailed, msg::kImportCaption, MB_OK | MB_ICONERROR);
    }
    reportingFailure_ = false;
}

LRESULT MainWindow::Handle(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            CreateControls();
            ApplyLayout(WindowDpi(hwnd_));
            return 0;
        case WM_DPICHANGED:
            OnDpiChanged(HIWORD(wParam), reinterpret_cast<const RECT*>(lParam));
            return 0;
        case WM_NOTIFY:
            if (reinterpret_cast<NMHDR*>(lParam)->code == NM_CUSTOMDRAW) {
                return DrawButtonCaption(*reinterpret_cast<NMCUSTOMDRAW*>(lParam));
            }
            break;
        case WM_COMMAND:
            if (HIWORD(wParam) == BN_CLICKED) OnCommand(LOWORD(wParam));
            return 0;
        case WM_CTLCOLORSTATIC:
            if (reinterpret_cast<HWND>(lParam) == Control(kLabel3)) {
                HDC dc = reinterpret_cast<HDC>(wParam);
                SetTextColor(dc, kLabel3Color);
                SetBkColor(dc, GetSysColor(COLOR_BTNFACE));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_BTNFACE));
            }
            break;
        case kMsgRunUpdates:
            if (bridge_) ApplyRunUpdates(*bridge_);
            return 0;
        case kMsgRunAsk:
            AnswerRun(*reinterpret_cast<RunBridge::Question*>(lParam));
            return 0;
        case kMsgRunDone:
            OnRunDone(wParam != 0);
            return 0;
        case WM_CLOSE:
            OnClose();
            return 0;
        case WM_DESTROY:
            hwnd_ = nullptr;
            PostQuitMessage(0);
            return 0;
        default:
            if (message == taskbarCreated_ && taskbarCreated_ != 0) {
                if (SUCCEEDED(CoCreateInstance(CLSID_TaskbarList, nullptr, CLSCTX_INPROC_SERVER,
                                               IID_PPV_ARGS(&taskbar_)))) {
                    taskbar_->HrInit();
                }
                return 0;
            }
            break;
    }
    return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void MainWindow::OnDpiChanged(UINT dpi, const RECT* suggested) {
    ApplyLayout(dpi);
    if (!suggested) return;
    RECT frame{};
    GetWindowRect(hwnd_, &frame);
    SetWindowPos(hwnd_, nullptr, suggested->left, suggested->top, frame.right - frame.left,
                 frame.bottom - frame.top, SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOSIZE);
}

void MainWindow::CreateControls() {
    for (const ControlSpec& control : kControls) {
        CreateWindowExW(control.kind == ControlKind::TextBox ? WS_EX_CLIENTEDGE : 0,
                        ClassOf(control.kind), control.text, StyleOf(control), 0, 0, 0, 0, hwnd_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(control.id)),
                        GetModuleHandleW(nullptr), nullptr);
    }
    tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                               WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                               CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, hwnd_, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
}

void MainWindow::ApplyLayout(UINT dpi) {
    for (const ControlSpec& control : kControls) {
        const RECT r = ControlRect(control, dpi);
        SetWindowPos(Control(control.id), nullptr, r.left, r.top, r.right - r.left,
                     r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
    }
    FitCaptions(dpi);

    // The frame is measured rather than computed, so the client area comes out exact
    // whatever the caption and border metrics are at this DPI.
    RECT frame{}, client{};
    GetWindowRect(hwnd_, &frame);
    GetClientRect(hwnd_, &client);
    const int width =
        TwipsToPixels(kClientWidthTwips, dpi) + (frame.right - frame.left) - client.right;
    const int height =
        TwipsToPixels(kClientHeightTwips, dpi) + (frame.bottom - frame.top) - client.bottom;
    SetWindowPos(hwnd_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void MainWindow::FitCaptions(UINT dpi) {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi);
    const LOGFONTW& base = metrics.lfMessageFont;
    // The fonts of the previous DPI stay alive until no control uses them.
    std::vector<unique_hfont> previous = std::exchange(fonts_, {});

    TTTOOLINFOW tool{};
    tool.cbSize = TTTOOLINFOW_V2_SIZE;
    while (SendMessageW(tooltip_, TTM_ENUMTOOLSW, 0, reinterpret_cast<LPARAM>(&tool))) {
        SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }

    const unique_window_dc dc(hwnd_);
    for (const ControlSpec& control : kControls) {
        const CaptionFit fit = FitCaption(dc.get(), base, control, dpi);
        HWND child = Control(control.id);
        LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
        if (control.kind == ControlKind::Button || control.kind == ControlKind::CheckBox) {
            style = fit.wrap ? style | BS_MULTILINE : style & ~BS_MULTILINE;
        } else if (control.kind == ControlKind::Label) {
            style &= ~(SS_TYPEMASK | SS_ELLIPSISMASK);
            style |= fit.whole ? SS_LEFT : SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS;
        }
        SetWindowLongPtrW(child, GWL_STYLE, style);
        SendMessageW(child, WM_SETFONT,
                     reinterpret_cast<WPARAM>(FontOfHeight(base, fit.fontHeight)), TRUE);
        if (fit.whole) continue;
        TTTOOLINFOW add{};
        add.cbSize = TTTOOLINFOW_V2_SIZE;
        add.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        add.hwnd = hwnd_;
        add.uId = reinterpret_cast<UINT_PTR>(child);
        add.lpszText = const_cast<wchar_t*>(control.text);
        SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&add));
    }
    SendMessageW(tooltip_, WM_SETFONT, reinterpret_cast<WPARAM>(FontOfHeight(base, base.lfHeight)),
                 FALSE);
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, MulDiv(300, static_cast<int>(dpi), 96));
}

LRESULT MainWindow::DrawButtonCaption(const NMCUSTOMDRAW& draw) const {
    HWND button = draw.hdr.hwndFrom;
    if (draw.dwDrawStage != CDDS_PREPAINT || button != Control(static_cast<int>(draw.hdr.idFrom))) {
        return CDRF_DODEFAULT;
    }
    const bool pushButton = std::any_of(kControls.begin(), kControls.end(), [&](const auto& c) {
        return c.id == static_cast<int>(draw.hdr.idFrom) && c.kind == ControlKind::Button;
    });
    if (!pushButton || !(GetWindowLongPtrW(button, GWL_STYLE) & BS_MULTILINE)) {
        return CDRF_DODEFAULT;
    }
    // A push button lays a caption of several lines out one word a line under Wine; its
    // lines are drawn here, broken where the caption was measured, over the button's own
    // background.
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(button)) + 1, L'\0');
    text.resize(GetWindowTextW(button, text.data(), static_cast<int>(text.size())));
    const RECT area = CaptionArea(ControlKind::Button, draw.rc, WindowDpi(hwnd_));
    HDC dc = draw.hdc;
    const selected_object font(dc, reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0)));
    const UINT format = CaptionFormat(ControlKind::Button, true) | DT_CENTER;
    RECT lines{0, 0, area.right - area.left, 0};
    DrawTextW(dc, text.c_str(), -1, &lines, format | DT_CALCRECT);
    RECT where = area;
    where.top += (area.bottom - area.top - lines.bottom) / 2;
    where.bottom = where.top + lines.bottom;
    if (draw.uItemState & CDIS_SELECTED) OffsetRect(&where, 1, 1);
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColor =
        SetTextColor(dc, GetSysColor(IsWindowEnabled(button) ? COLOR_BTNTEXT : COLOR_GRAYTEXT));
    DrawTextW(dc, text.c_str(), -1, &where, format);
    SetTextColor(dc, oldColor);
    SetBkMode(dc, oldMode);
    if (draw.uItemState & CDIS_FOCUS) DrawFocusRect(dc, &area);
    return CDRF_SKIPDEFAULT;
}

HFONT MainWindow::FontOfHeight(const LOGFONTW& base, int height) {
    for (const unique_hfont& font : fonts_) {
        LOGFONTW face{};
        GetObjectW(font.get(), sizeof face, &face);
        if (face.lfHeight == height) return font.get();
    }
    LOGFONTW face = base;
    face.lfHeight = height;
    fonts_.emplace_back(CreateFontIndirectW(&face));
    return fonts_.back().get();
}

std::wstring MainWindow::ControlText(int id) const {
    HWND control = Control(id);
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
    text.resize(GetWindowTextW(control, text.data(), static_cast<int>(text.size())));
    return text;
}

void MainWindow::OnCommand(int id) {
    switch (id) {
        case kCommand1:
            SetWindowTextW(Control(kText1), dialogs_.PickFolder(hwnd_, kPickPublic).c_str());
            break;
        case kCommand2:
            SetWindowTextW(Control(kText2), dialogs_.PickFolder(hwnd_, kPickNetwork).c_str());
            break;
        case kCommand3:
            OnStartImporting();
            break;
        default:
            break;
    }
}

void MainWindow::OnStartImporting() {
    if (IsRunning()) return;
    if (IsDlgButtonChecked(hwnd_, kCheck1) == BST_CHECKED) {
        const int answer = dialogs_.Ask(hwnd_, msg::kDeleteQuestion, msg::kDeleteCaption,
                                        MB_YESNO | MB_DEFBUTTON1 | MB_ICONQUESTION);
        if (answer != IDYES) return;
        state_.DeleteAfterImport = true;
    }
    StartRun();
}

void MainWindow::StartRun() {
    // The run works on copies of the inputs, taken here on the window's thread. Should no
    // thread start, nothing ran and the window procedure says so.
    auto bridge = std::make_unique<RunBridge>(hwnd_, ControlText(kText1), ControlText(kText2),
                                              IsDlgButtonChecked(hwnd_, kCheck2) == BST_CHECKED);
    title_.assign(static_cast<size_t>(GetWindowTextLengthW(hwnd_)) + 1, L'\0');
    title_.resize(GetWindowTextW(hwnd_, title_.data(), static_cast<int>(title_.size())));
    RunBridge* run = bridge.get();
    HWND window = hwnd_;
    worker_ = std::thread([this, run, window] {
        NameThisThread(L"ksr run");
        WPARAM unanswered = 0;
        {
            const unique_com_init com(COINIT_MULTITHREADED);
            // The run reports its own failures; this catches what would otherwise end the
            // program with no message and no log.
            try {
                Importer importer(state_, *run);
                importer.SetRegistration(registration_);
                importer.importfile();
            } catch (...) {
                state_.DeleteAfterImport = false;
                try {
                    run->RunEnded(InternalFailure());
                } catch (...) {
                    // Not even the end message got through: the window says it when the
                    // run is done.
                    unanswered = 1;
                }
            }
        }
        PostMessageW(window, kMsgRunDone, unanswered, 0);
    });
    bridge_ = std::move(bridge);
    EnableInputs(false);
}

void MainWindow::ApplyRunUpdates(RunBridge& bridge) {
    for (RunBridge::Update& update : bridge.TakeUpdates()) {
        switch (update.kind) {
            case RunBridge::Update::Kind::Text3:
                SetWindowTextW(Control(kText3), update.text.c_str());
                break;
            case RunBridge::Update::Kind::ClearList1:
                SendMessageW(Control(kList1), LB_RESETCONTENT, 0, 0);
                break;
            case RunBridge::Update::Kind::AddList1:
                SendMessageW(Control(kList1), LB_ADDSTRING, 0,
                             reinterpret_cast<LPARAM>(update.text.c_str()));
                break;
            case RunBridge::Update::Kind::Progress:
                ShowProgress(update.fraction);
                break;
        }
    }
}

void MainWindow::AnswerRun(RunBridge::Question& question) {
    // The worker waits for the answer: it gets one even when the message cannot be shown.
    try {
        if (bridge_) ApplyRunUpdates(*bridge_);
        RunOutcome outcome = question.outcome;
        // A handler that failed during the run ended it; the count, the report and the log
        // stand.
        if (runFailed_) outcome.ending = RunOutcome::Ending::InternalFailure;
        ShowEndMessage(outcome);
        runFailed_ = false;
    } catch (...) {
        question.answer.set_value();
        throw;
    }
    question.answer.set_value();
}

void MainWindow::OnRunDone(bool unanswered) {
    if (worker_.joinable()) worker_.join();
    // The run is over from here on, whatever happens below.
    const std::unique_ptr<RunBridge> bridge = std::move(bridge_);
    EnableInputs(true);
    if (bridge) ApplyRunUpdates(*bridge);
    ClearProgress();
    // A failure the end message could not carry is said now.
    if (std::exchange(runFailed_, false) || unanswered) ShowEndMessage(InternalFailure());
    if (closeAfterRun_) DestroyWindow(hwnd_);
}

void MainWindow::OnClose() {
    if (!IsRunning()) {
        DestroyWindow(hwnd_);
        return;
    }
    const int answer = dialogs_.Ask(hwnd_, msg::kStopQuestion, kAppTitle,
                                    MB_YESNO | MB_DEFBUTTON2 | MB_ICONWARNING);
    if (answer != IDYES || !bridge_) return;
    // The run ends after the file in hand, writes its log and shows its end message; the
    // window closes once it is done.
    closeAfterRun_ = true;
    bridge_->RequestStop();
}

void MainWindow::EnableInputs(bool enabled) {
    for (const int id : {kCommand1, kCommand3, kCheck1, kCheck2}) {
        EnableWindow(Control(id), enabled);
    }
}

void MainWindow::ShowProgress(double fraction) {
    SetWindowTextW(Control(kLabel2), ProgressText(fraction).c_str());
    // The title carries the percentage too, where Alt-Tab and the taskbar show it.
    SetWindowTextW(hwnd_, ProgressTitle(fraction, title_).c_str());
    if (!taskbar_) return;
    const long long percent = std::clamp<long long>(ProgressPercent(fraction), 0, 100);
    taskbar_->SetProgressValue(hwnd_, static_cast<ULONGLONG>(percent), 100);
}

void MainWindow::ClearProgress() {
    SetWindowTextW(Control(kLabel2), L"");
    SetWindowTextW(hwnd_, title_.c_str());
    if (taskbar_) taskbar_->SetProgressState(hwnd_, TBPF_NOPROGRESS);
}

void MainWindow::ShowEndMessage(const RunOutcome& outcome) {
    const MessageBoxText box = EndMessage(outcome);
    dialogs_.Ask(hwnd_, box.text, box.caption, box.type);
}

}  // namespace ksr
