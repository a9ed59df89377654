// TonvikPlug.exe, the Windows launcher that the logon task starts with
// "-hide": starts Tonvik.exe from its own directory when no copy runs, then
// hosts it with %APPDATA%\Tonvik\host.conf and serves the web console (the
// web and layouts directories beside it) with its settings API on 127.0.0.1.
// Without -hide it opens the console in the default browser. A GUI-subsystem
// program, so it never opens a console window; without -hide a problem is
// shown in a message box. One runs per session: a second one asks it to open
// the console and ends.
// The host loop runs on a thread of its own; the main thread keeps a hidden
// window, with the notification icon, whose close request (taskkill, the end
// of the session, the installer) stops it.
#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "base/log.h"
#include "base/version.h"
#include "host_platform.h"
#include "host_run.h"
#include "launcher_instance_win.h"
#include "launcher_window_win.h"
#include "session_messages.h"
#include "tray_icon_win.h"

namespace {

// The daemon's single-instance mutex: it exists while a copy runs.
constexpr wchar_t kDaemonMutex[] = L"Kolvex-20250418";
// A second launcher waits this long for the first one's window.
constexpr int kFirstLauncherWaitMs = 1500;

std::string Narrow(const wchar_t* text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length > 1 ? length - 1 : 0), '\0');
    if (length > 1) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), length, nullptr, nullptr);
    }
    return narrow;
}

std::wstring Wide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 1 ? length - 1 : 0), L'\0');
    if (length > 1) {
        MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    }
    return wide;
}

std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring directory(path, length);
    return directory.substr(0, directory.find_last_of(L"\\/"));
}

// An error for the user: logged, and in a message box unless hidden.
void Tell(bool hide, const std::string& text)
{
    LogError(text);
    if (!hide) {
        MessageBoxW(nullptr, Wide(text).c_str(), L"TonvikPlug", MB_OK | MB_ICONWARNING);
    }
}

void StartDaemonUnlessRunning(const std::wstring& directory)
{
    const HANDLE running = OpenMutexW(SYNCHRONIZE, FALSE, kDaemonMutex);
    if (running != nullptr) {
        CloseHandle(running);
        LogInfo("Tonvik.exe runs already");
        return;
    }
    // Through the shell, which honours the daemon's manifest (it asks for
    // administrator rights; the logon task starts us with them already).
    const std::wstring daemon = directory + L"\\Tonvik.exe";
    SHELLEXECUTEINFOW start{};
    start.cbSize = sizeof start;
    start.fMask = SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    start.lpFile = daemon.c_str();
    start.lpDirectory = directory.c_str();
    start.nShow = SW_HIDE;
    if (ShellExecuteExW(&start)) {
        LogInfo("started " + Narrow(daemon.c_str()));
    } else {
        LogError("cannot start " + Narrow(daemon.c_str()) + " (error " + std::to_string(GetLastError()) + ")");
    }
}

StopSignal* g_stop = nullptr;  // for the window procedure; set before the window exists
PauseState* g_pause = nullptr;  // likewise
TrayIcon* g_tray = nullptr;    // while the icon exists

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_tray != nullptr && g_tray->Handle(message, wParam, lParam)) {
        return 0;
    }
    switch (message) {
    case WM_CLOSE:
        g_stop->Request();
        DestroyWindow(window);
        return 0;
    case WM_ENDSESSION:
        if (wParam != 0) {
            g_stop->Request();
        }
        return 0;
    case WM_DESTROY:
        StopListeningForSessionMessages(window);
        PostQuitMessage(0);
        return 0;
    default:
        if (ApplySessionMessage(*g_pause, message, wParam)) {
            return TRUE;
        }
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SetLogName("TonvikPlug");
    SetLogCopyToRedirectedStandardError(true);
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::vector<std::string> args;
    for (int i = 1; argv != nullptr && i < argc; ++i) {
        args.push_back(Narrow(argv[i]));
    }
    LocalFree(argv);

    const HostStart start = LoadHostSettings(args, true);
    const bool hide = start.command.hide;
    switch (start.command.action) {
    case HostCommand::Action::Help:
        Tell(hide, HostUsage("TonvikPlug.exe [-hide]"));
        return kHostExitStopped;
    case HostCommand::Action::Version:
        Tell(hide, "TonvikPlug " TONVIK_VERSION);
        return kHostExitStopped;
    case HostCommand::Action::UsageError:
        Tell(hide, start.command.error + "\n" + HostUsage("TonvikPlug.exe [-hide]"));
        return kHostExitUsage;
    case HostCommand::Action::Run:
        break;
    }
    const LauncherInstance oneLauncher;
    if (oneLauncher.AnotherIsRunning()) {
        LogInfo("another launcher runs in this session: asking it to open the console");
        return AskRunningLauncherToOpenConsole(kFirstLauncherWaitMs) ? kHostExitStopped : kHostExitConfigError;
    }
    const std::wstring directory = OwnDirectory();
    StartDaemonUnlessRunning(directory);
    if (!start.confError.empty()) {
        Tell(hide, start.confError);
        return kHostExitConfigError;
    }
    // The launcher always serves the console: it is how a Windows user
    // chooses, the layout too when host.conf names none yet.
    HostSettings settings = start.settings;
    settings.web = true;

    StopSignal stop;
    g_stop = &stop;
    PauseState pause(settings.pauseWhenLocked);
    g_pause = &pause;
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kLauncherWindowClass;
    RegisterClassW(&windowClass);
    // Never shown: it takes the close request and the notification icon's messages.
    const HWND window = CreateWindowExW(0, kLauncherWindowClass, L"TonvikPlug", WS_OVERLAPPED, 0, 0, 0, 0, nullptr,
                                        nullptr, instance, nullptr);
    if (window == nullptr) {
        Tell(hide, "cannot create the launcher's window");
        return kHostExitConfigError;
    }
    ListenForSessionMessages(window, pause);
    TrayIcon tray(window, instance, pause, {HostConfPath(), settings.userPaused, settings.startWithWindows, !hide});
    g_tray = &tray;

    int status = kHostExitStopped;
    std::thread host;
    try {
        host = std::thread([&] {
            status = RunHost(
                settings, Narrow(directory.c_str()), stop, pause, {},
                [&tray](const std::string& url) { tray.ConsoleReady(url); },
                [&tray](const HostChoices* choices) { tray.Watch().SetHosted(choices); });
            PostMessageW(window, WM_CLOSE, 0, 0);
        });
    } catch (const std::system_error&) {
        Tell(hide, "no thread could be started for the host");
        DestroyWindow(window);
        return kHostExitConfigError;
    }
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    stop.Request();
    host.join();
    if (status == kHostExitConfigError && !hide) {
        Tell(hide, "TonvikPlug stopped: the layout was not accepted or could not be read, or the console had no port; "
                   "see the log");
    }
    return status;
}
