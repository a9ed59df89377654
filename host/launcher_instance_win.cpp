#include "launcher_instance_win.h"

#include <winsock2.h>
#include <windows.h>

#include "launcher_window_win.h"

namespace {

// "Local\": one launcher per session, as the window it talks to is the session's.
constexpr wchar_t kLauncherMutex[] = L"Local\\TonvikPlug-20250418";
constexpr int kLookEveryMs = 50;

}  // namespace

LauncherInstance::LauncherInstance()
{
    const HANDLE mutex = CreateMutexW(nullptr, TRUE, kLauncherMutex);
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        m_anotherRunning = true;
        return;
    }
    m_mutex = mutex;
}

LauncherInstance::~LauncherInstance()
{
    if (m_mutex != nullptr) {
        CloseHandle(static_cast<HANDLE>(m_mutex));
    }
}

bool AskRunningLauncherToOpenConsole(int timeoutMs)
{
    for (int waited = 0;; waited += kLookEveryMs) {
        if (const HWND running = FindWindowW(kLauncherWindowClass, nullptr); running != nullptr) {
            // The running launcher is in the foreground's stead: let it bring the browser forward.
            DWORD process = 0;
            GetWindowThreadProcessId(running, &process);
            AllowSetForegroundWindow(process);
            return PostMessageW(running, WM_COMMAND, kCommandOpenConsole, 0) != 0;
        }
        if (waited >= timeoutMs) {
            return false;
        }
        Sleep(kLookEveryMs);
    }
}
