#pragma once

// One launcher per user session: a named mutex of the launcher's own (the
// daemon has its own), in the session's namespace. A second launcher asks
// the running one to open the console and ends.
class LauncherInstance {
public:
    LauncherInstance();
    ~LauncherInstance();
    LauncherInstance(const LauncherInstance&) = delete;
    LauncherInstance& operator=(const LauncherInstance&) = delete;

    // True when another launcher of this session holds the mutex. When it
    // cannot be created at all, this launcher runs unguarded rather than not.
    bool AnotherIsRunning() const { return m_anotherRunning; }

private:
    bool m_anotherRunning = false;
    void* m_mutex = nullptr;
};

// Asks the running launcher's window to open the console; it may still be
// starting, so its window is looked for up to timeoutMs. False when none was found.
bool AskRunningLauncherToOpenConsole(int timeoutMs);
