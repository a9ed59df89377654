#pragma once

#include <windows.h>

#include <memory>
#include <mutex>
#include <string>

#include "daemon_watch.h"
#include "host_choices.h"
#include "pause_state.h"

// The launcher in the notification area: the program's icon, its tooltip
// ("Tonvik: " and what it is doing, from the daemon's status route), a
// balloon when the daemon ends or never comes up, and the menu: "Open
// console", "Pause lighting" / "Resume lighting", "Start with Windows" (ticked
// while the logon task exists), "Quit". A double click opens the console. The
// icon is there with -hide too, and comes back when Explorer restarts.
//
// Lives on the window thread, which alone calls its members, except
// ConsoleReady and Watch().SetHosted, which any thread may call. The pause and
// start-with-Windows choices are kept in host.conf.
class TrayIcon {
public:
    struct Choices {
        std::string confPath;  // host.conf, where the choices are kept
        bool userPaused = false;
        bool startWithWindows = true;
        bool openConsoleWhenReady = false;  // started without -hide
    };
    TrayIcon(HWND window, HINSTANCE instance, PauseState& pause, Choices choices);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    // Handles the icon's, the menu's and the watch's messages and Explorer's
    // restart; false for any other message.
    bool Handle(UINT message, WPARAM wParam, LPARAM lParam);

    // Any thread: the console serves at url.
    void ConsoleReady(const std::string& url);
    DaemonWatch& Watch() { return *m_watch; }

private:
    void Add();
    void Refresh();
    void ShowMenu();
    void OpenConsole();
    void SetUserPaused(bool paused);
    void SetStartWithWindows(bool start);
    void Quit();
    void DaemonChanged();
    void Balloon(const std::string& text);

    const HWND m_window;
    const UINT m_taskbarCreated;
    HICON m_icon = nullptr;
    PauseState& m_pause;
    Choices m_choices;
    bool m_added = false;
    bool m_daemonSeen = false;     // the daemon answered at least once
    bool m_startGraceOver = false;  // the daemon had its time to come up
    bool m_daemonAnswers = false;  // as last told
    bool m_openPending = false;    // "Open console" before the console served
    std::string m_tooltip;
    std::mutex m_urlMutex;  // guards m_url, set by the host thread
    std::string m_url;
    std::unique_ptr<DaemonWatch> m_watch;
};
