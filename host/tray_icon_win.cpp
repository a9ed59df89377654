#include "tray_icon_win.h"

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstring>

#include "base/log.h"
#include "browser_win.h"
#include "host_conf_file.h"
#include "launcher_window_win.h"
#include "startup/startup_task.h"

namespace {

// Posted by the watch thread when the daemon came or went; by the host thread once the console serves.
constexpr UINT kDaemonChangedMessage = WM_APP + 2;
constexpr UINT kConsoleReadyMessage = WM_APP + 3;
constexpr UINT_PTR kStartTimer = 1;
constexpr UINT kIconId = 1;
constexpr int kIconResource = 128;
constexpr int kStatusPollMs = 2000;
// A daemon that has not answered by then did not start: the balloon says so once.
constexpr UINT kDaemonStartGraceMs = 60000;
constexpr char kDaemonGone[] = "The daemon is not running: the keyboard is not lit.";

template <size_t N>
void CopyText(wchar_t (&target)[N], const std::string& text)
{
    const std::wstring wide = WideFromUtf8(text);
    wcsncpy(target, wide.c_str(), N - 1);
    target[N - 1] = L'\0';
}

}  // namespace

TrayIcon::TrayIcon(HWND window, HINSTANCE instance, PauseState& pause, Choices choices)
    : m_window(window),
      m_taskbarCreated(RegisterWindowMessageW(L"TaskbarCreated")),
      m_pause(pause),
      m_choices(std::move(choices))
{
    m_icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON,
                                           GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    // An elevated launcher still hears Explorer (not elevated) say that it restarted.
    ChangeWindowMessageFilterEx(window, m_taskbarCreated, MSGFLT_ALLOW, nullptr);
    m_pause.Set(PauseReason::User, m_choices.userPaused);
    Add();
    SetTimer(window, kStartTimer, kDaemonStartGraceMs, nullptr);
    m_watch = std::make_unique<DaemonWatch>(OpenHttpClient(), kStatusPollMs,
                                            [window] { PostMessageW(window, kDaemonChangedMessage, 0, 0); });
}

TrayIcon::~TrayIcon()
{
    m_watch.reset();
    KillTimer(m_window, kStartTimer);
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = m_window;
    data.uID = kIconId;
    Shell_NotifyIconW(NIM_DELETE, &data);
    if (m_icon != nullptr) {
        DestroyIcon(m_icon);
    }
}

void TrayIcon::Add()
{
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = m_window;
    data.uID = kIconId;
    data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    data.uCallbackMessage = kTrayIconMessage;
    data.hIcon = m_icon;
    m_tooltip = LauncherTooltip({m_daemonAnswers, false, m_pause.Paused(), {}});
    CopyText(data.szTip, m_tooltip);
    // Told of a restart while the icon is still there, the add fails and the change does it.
    m_added = Shell_NotifyIconW(NIM_ADD, &data) != FALSE || Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
    if (!m_added) {
        LogWarning("the notification area took no icon; it is added again when Explorer restarts");
    }
    Refresh();
}

void TrayIcon::Refresh()
{
    const DaemonWatch::Seen seen = m_watch ? m_watch->Current() : DaemonWatch::Seen{};
    const std::string tooltip =
        LauncherTooltip({seen.answers, seen.keyboardFound, m_pause.Paused(), seen.layoutName});
    if (tooltip == m_tooltip && m_added) {
        return;
    }
    m_tooltip = tooltip;
    LogInfo("tooltip: " + tooltip);
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = m_window;
    data.uID = kIconId;
    data.uFlags = NIF_TIP;
    CopyText(data.szTip, tooltip);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void TrayIcon::Balloon(const std::string& text)
{
    LogInfo("balloon: " + text);
    NOTIFYICONDATAW data{};
    data.cbSize = sizeof data;
    data.hWnd = m_window;
    data.uID = kIconId;
    data.uFlags = NIF_INFO;
    data.dwInfoFlags = NIIF_WARNING;
    CopyText(data.szInfoTitle, "Tonvik");
    CopyText(data.szInfo, text);
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

bool TrayIcon::Handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == m_taskbarCreated) {
        LogInfo("Explorer restarted: the notification icon is added again");
        Add();
        return true;
    }
    switch (message) {
    case kTrayIconMessage:
        if (lParam == WM_LBUTTONDBLCLK) {
            OpenConsole();
        } else if (lParam == WM_RBUTTONUP || lParam == WM_CONTEXTMENU) {
            ShowMenu();
        }
        return true;
    case kDaemonChangedMessage:
        DaemonChanged();
        return true;
    case kConsoleReadyMessage:
        if (m_openPending || m_choices.openConsoleWhenReady) {
            m_openPending = false;
            m_choices.openConsoleWhenReady = false;
            OpenConsole();
        }
        return true;
    case WM_TIMER:
        if (wParam != kStartTimer) {
            return false;
        }
        KillTimer(m_window, kStartTimer);
        m_startGraceOver = true;
        if (!m_daemonSeen) {
            Balloon("The daemon did not start: the keyboard is not lit.");
        }
        return true;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case kCommandOpenConsole:
            OpenConsole();
            return true;
        case kCommandPause:
        case kCommandResume:
            SetUserPaused(LOWORD(wParam) == kCommandPause);
            return true;
        case kCommandStartWithWindows:
        case kCommandDoNotStartWithWindows:
            SetStartWithWindows(LOWORD(wParam) == kCommandStartWithWindows);
            return true;
        case kCommandQuit:
            Quit();
            return true;
        default:
            return false;
        }
    default:
        return false;
    }
}

void TrayIcon::ShowMenu()
{
    const HMENU menu = CreatePopupMenu();
    if (menu == nullptr) {
        return;
    }
    const bool starts = StartupTaskExists();
    AppendMenuW(menu, MF_STRING, kCommandOpenConsole, L"Open console");
    if (m_choices.userPaused) {
        AppendMenuW(menu, MF_STRING, kCommandResume, L"Resume lighting");
    } else {
        AppendMenuW(menu, MF_STRING, kCommandPause, L"Pause lighting");
    }
    AppendMenuW(menu, MF_STRING | (starts ? MF_CHECKED : MF_UNCHECKED),
                starts ? kCommandDoNotStartWithWindows : kCommandStartWithWindows, L"Start with Windows");
    AppendMenuW(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuW(menu, MF_STRING, kCommandQuit, L"Quit");
    SetMenuDefaultItem(menu, kCommandOpenConsole, FALSE);
    POINT cursor{};
    GetCursorPos(&cursor);
    // Without this the menu would not close when the user clicks elsewhere.
    SetForegroundWindow(m_window);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, m_window, nullptr);
    PostMessageW(m_window, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void TrayIcon::ConsoleReady(const std::string& url)
{
    {
        std::lock_guard lock(m_urlMutex);
        m_url = url;
    }
    PostMessageW(m_window, kConsoleReadyMessage, 0, 0);
}

void TrayIcon::OpenConsole()
{
    std::string url;
    {
        std::lock_guard lock(m_urlMutex);
        url = m_url;
    }
    if (url.empty()) {
        // Opened as soon as the console serves.
        m_openPending = true;
        return;
    }
    // Only once it is known: a daemon still starting is not said to be gone.
    if (!m_watch->Current().answers && (m_daemonSeen || m_startGraceOver)) {
        Balloon(kDaemonGone);
    }
    OpenInBrowser(url);
}

void TrayIcon::SetUserPaused(bool paused)
{
    m_choices.userPaused = paused;
    m_pause.Set(PauseReason::User, paused);
    if (SaveHostConfValues(m_choices.confPath, {{"lighting", paused ? "paused" : "on"}}) != ConfSave::Saved) {
        LogWarning("could not keep the choice in " + m_choices.confPath + ": it lasts until the launcher ends");
    }
    Refresh();
}

void TrayIcon::SetStartWithWindows(bool start)
{
    const StartupTaskResult result = start ? RegisterStartupTask() : RemoveStartupTask();
    if (result.done) {
        LogInfo(std::string("Start with Windows: the logon task is ") + (start ? "registered" : "removed"));
    } else {
        LogError(std::string("Start with Windows: the logon task could not be ") +
                 (start ? "registered: " : "removed: ") + result.failure);
    }
    // The user's wish is kept even when the scheduler refused, so the next daemon start is undone or not.
    m_choices.startWithWindows = start;
    if (SaveHostConfValues(m_choices.confPath, {{"start-with-windows", start ? "yes" : "no"}}) != ConfSave::Saved) {
        LogWarning("could not keep the choice in " + m_choices.confPath + ": it lasts until the launcher ends");
    }
}

void TrayIcon::Quit()
{
    LogInfo("quitting, and stopping the daemon");
    // The daemon's window runs its ordered shutdown on this request.
    if (const HWND daemon = FindWindowW(L"TonvikDlgBase", L"Tonvik"); daemon != nullptr) {
        PostMessageW(daemon, WM_CLOSE, 0, 0);
    }
    PostMessageW(m_window, WM_CLOSE, 0, 0);
}

void TrayIcon::DaemonChanged()
{
    const bool answers = m_watch->Current().answers;
    if (answers && !m_daemonAnswers && !m_choices.startWithWindows) {
        // Each daemon start registers the task anew; the user unticked it.
        const StartupTaskResult removed = RemoveStartupTask();
        LogInfo(removed.done ? "the daemon's logon task is removed again, as the user chose"
                             : "the daemon's logon task could not be removed: " + removed.failure);
    }
    if (!answers && m_daemonAnswers) {
        Balloon(kDaemonGone);
    }
    m_daemonSeen = m_daemonSeen || answers;
    m_daemonAnswers = answers;
    Refresh();
}
