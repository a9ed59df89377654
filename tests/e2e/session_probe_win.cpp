// Tells the running launcher's window of session and power events as Windows
// would (run under Wine by the end-to-end suite): each argument, in order,
// is one of lock, unlock, disconnect, connect, suspend, resume. Prints
// found=1 and sent_<event>=1 lines; exits 1 when the window or an event is
// not known.
#include <winsock2.h>
#include <windows.h>
#include <wtsapi32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>

namespace {

struct Event {
    const char* name;
    UINT message;
    WPARAM wParam;
};

constexpr Event kEvents[] = {
    {"lock", WM_WTSSESSION_CHANGE, WTS_SESSION_LOCK},
    {"unlock", WM_WTSSESSION_CHANGE, WTS_SESSION_UNLOCK},
    {"disconnect", WM_WTSSESSION_CHANGE, WTS_CONSOLE_DISCONNECT},
    {"connect", WM_WTSSESSION_CHANGE, WTS_CONSOLE_CONNECT},
    {"suspend", WM_POWERBROADCAST, PBT_APMSUSPEND},
    {"resume", WM_POWERBROADCAST, PBT_APMRESUMEAUTOMATIC},
};

}  // namespace

int main(int argc, char* argv[])
{
    _setmode(_fileno(stdout), _O_BINARY);  // plain line feeds for the Linux reader
    const HWND window = FindWindowW(L"TonvikPlugWindow", nullptr);
    std::printf("found=%d\n", window != nullptr ? 1 : 0);
    if (window == nullptr) {
        return 1;
    }
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    for (int i = 1; i < argc; ++i) {
        const Event* event = nullptr;
        for (const Event& known : kEvents) {
            if (std::strcmp(argv[i], known.name) == 0) {
                event = &known;
            }
        }
        if (event == nullptr) {
            std::printf("unknown=%s\n", argv[i]);
            return 1;
        }
        // A session change names the session in lParam; a power event has none.
        const LPARAM lParam = event->message == WM_WTSSESSION_CHANGE ? static_cast<LPARAM>(session) : 0;
        DWORD_PTR result = 0;
        const bool sent = SendMessageTimeoutW(window, event->message, event->wParam, lParam, SMTO_BLOCK, 5000,
                                              &result) != 0;
        std::printf("sent_%s=%d\n", event->name, sent ? 1 : 0);
    }
    return 0;
}
