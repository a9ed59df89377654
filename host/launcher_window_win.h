#pragma once

#include <windows.h>

#include <string>

// The launcher's one window, hidden: the notification icon's messages, the
// menu's commands, the close request (taskkill, the installer, the end of the
// session) and a second launcher's request all come to it. Its class is how
// others find it.
constexpr wchar_t kLauncherWindowClass[] = L"TonvikPlugWindow";

// The notification icon's callback: lParam is the mouse message.
constexpr UINT kTrayIconMessage = WM_APP + 1;

// The menu's commands, as WM_COMMAND's wParam. Each state of a choice has a
// command of its own, so a command means the same whatever the state.
enum LauncherCommand : WPARAM {
    kCommandOpenConsole = 1,
    kCommandPause = 2,
    kCommandResume = 3,
    kCommandStartWithWindows = 4,
    kCommandDoNotStartWithWindows = 5,
    kCommandQuit = 6,
};

inline std::wstring WideFromUtf8(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    }
    return wide;
}
