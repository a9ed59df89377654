// Looks at the running Tonvik's main window from another process and prints
// what it finds as key=value lines for the end-to-end suite (run under Wine).
#include <winsock2.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <initializer_list>

namespace {

void Print(const char* key, long value)
{
    std::printf("%s=%ld\n", key, value);
}

// Whether the window is hidden again within a few lighting ticks.
bool HiddenWithin(HWND window, int ms)
{
    for (int waited = 0; waited <= ms; waited += 5) {
        if (!IsWindowVisible(window)) {
            return true;
        }
        Sleep(5);
    }
    return false;
}

}  // namespace

int main()
{
    _setmode(_fileno(stdout), _O_BINARY);  // plain line feeds for the Linux reader
    const HWND window = FindWindowW(L"TonvikDlgBase", nullptr);
    Print("found", window != nullptr);
    if (window == nullptr) {
        return 1;
    }
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    Print("title_is_tonvik", lstrcmpW(title, L"Tonvik") == 0);
    Print("visible", IsWindowVisible(window));
    const LONG exStyle = GetWindowLongW(window, GWL_EXSTYLE);
    Print("tool_window", (exStyle & WS_EX_TOOLWINDOW) != 0);
    Print("app_window", (exStyle & WS_EX_APPWINDOW) != 0);
    RECT rect{};
    GetWindowRect(window, &rect);
    Print("left", rect.left);
    Print("top", rect.top);

    // Requests that would show the window leave it hidden.
    struct Request {
        const char* name;
        WPARAM command;
    };
    for (const Request& request : {Request{"restore", SC_RESTORE}, Request{"maximize", SC_MAXIMIZE},
                                   Request{"minimize", SC_MINIMIZE}}) {
        DWORD_PTR result = 0;
        SendMessageTimeoutW(window, WM_SYSCOMMAND, request.command, 0, SMTO_BLOCK, 2000, &result);
        std::printf("hidden_after_%s=%d\n", request.name, HiddenWithin(window, 0) ? 1 : 0);
    }
    // Shown by someone else: the next lighting tick hides it.
    ShowWindow(window, SW_SHOWNOACTIVATE);
    Print("hidden_after_show", HiddenWithin(window, 500));
    return 0;
}
