// Everything here runs on the launcher's window thread; the pause state has
// its own lock for the host loop's thread that reads it.
#include "session_messages.h"

#include <winsock2.h>
#include <windows.h>
#include <wtsapi32.h>

#include <string>

#include "base/log.h"

namespace {

// While the session is locked the desk that takes input is the logon
// screen's, which a program of the user's cannot open.
bool SessionLocked()
{
    const HDESK desk = OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS);
    if (desk == nullptr) {
        return true;
    }
    wchar_t name[64] = {};
    DWORD needed = 0;
    const bool named = GetUserObjectInformationW(desk, UOI_NAME, name, sizeof name, &needed) != 0;
    CloseDesktop(desk);
    return named && lstrcmpiW(name, L"Default") != 0;
}

// Another session has the console (fast user switching).
bool AwayFromConsole()
{
    DWORD own = 0;
    const DWORD console = WTSGetActiveConsoleSessionId();
    return console != 0xFFFFFFFF && ProcessIdToSessionId(GetCurrentProcessId(), &own) && own != console;
}

}  // namespace

void ListenForSessionMessages(HWND__* window, PauseState& pause)
{
    pause.Set(PauseReason::SessionLocked, SessionLocked());
    pause.Set(PauseReason::SessionInactive, AwayFromConsole());
    if (!WTSRegisterSessionNotification(window, NOTIFY_FOR_THIS_SESSION)) {
        LogWarning("no session notifications (error " + std::to_string(GetLastError()) +
                   "): the lights do not follow lock or user switch");
    }
}

void StopListeningForSessionMessages(HWND__* window)
{
    WTSUnRegisterSessionNotification(window);
}

bool ApplySessionMessage(PauseState& pause, unsigned message, uintptr_t wParam)
{
    if (message == WM_WTSSESSION_CHANGE) {
        switch (wParam) {
        case WTS_SESSION_LOCK:
            pause.Set(PauseReason::SessionLocked, true);
            break;
        case WTS_SESSION_UNLOCK:
            pause.Set(PauseReason::SessionLocked, false);
            break;
        case WTS_CONSOLE_DISCONNECT:
            pause.Set(PauseReason::SessionInactive, true);
            break;
        case WTS_CONSOLE_CONNECT:
            pause.Set(PauseReason::SessionInactive, false);
            break;
        default:
            break;
        }
        return true;
    }
    if (message == WM_POWERBROADCAST) {
        // A resume the user caused comes after the automatic one; either ends the sleep.
        if (wParam == PBT_APMSUSPEND) {
            pause.Set(PauseReason::Sleeping, true);
        } else if (wParam == PBT_APMRESUMEAUTOMATIC || wParam == PBT_APMRESUMESUSPEND) {
            pause.Set(PauseReason::Sleeping, false);
        }
        return true;
    }
    return false;
}
