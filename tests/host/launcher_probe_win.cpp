// Sends the running launcher what its notification icon and menu would: a
// command ("open-console", "pause", "resume", "start-with-windows",
// "do-not-start-with-windows", "quit"), a double click on the icon
// ("double-click") or Explorer's restart ("taskbar-created"). Exit status 0
// when the launcher's window was there to take it. Run by the end-to-end
// suite under Wine.
#include <winsock2.h>
#include <windows.h>

#include <cstring>

#include "launcher_window_win.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        return 2;
    }
    const HWND launcher = FindWindowW(kLauncherWindowClass, nullptr);
    if (launcher == nullptr) {
        return 1;
    }
    const struct {
        const char* name;
        WPARAM command;
    } commands[] = {{"open-console", kCommandOpenConsole},
                    {"pause", kCommandPause},
                    {"resume", kCommandResume},
                    {"start-with-windows", kCommandStartWithWindows},
                    {"do-not-start-with-windows", kCommandDoNotStartWithWindows},
                    {"quit", kCommandQuit}};
    for (const auto& command : commands) {
        if (std::strcmp(argv[1], command.name) == 0) {
            return PostMessageW(launcher, WM_COMMAND, command.command, 0) ? 0 : 1;
        }
    }
    if (std::strcmp(argv[1], "double-click") == 0) {
        return PostMessageW(launcher, kTrayIconMessage, 1, WM_LBUTTONDBLCLK) ? 0 : 1;
    }
    if (std::strcmp(argv[1], "taskbar-created") == 0) {
        return PostMessageW(launcher, RegisterWindowMessageW(L"TaskbarCreated"), 0, 0) ? 0 : 1;
    }
    return 2;
}
