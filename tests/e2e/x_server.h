#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

// A private X server (Xvfb) for end-to-end tests and benchmarks, on a display
// number of its own: drawn at random from 100-999 and held by the server's
// lock file, so runs in parallel never share one. It is started and stopped by
// the pid recorded here, never by name, and the destructor stops it and
// removes its directory, also when a test fails. Its root window keeps what is
// painted on it (-noreset).
class XServer {
public:
    // Extra server options, such as {"-extension", "MIT-SHM"} to leave one out.
    explicit XServer(std::vector<std::string> options = {}, int width = 1920, int height = 1080);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;

    // A display that someone else runs (the Wine leg's): painted on, never
    // started or stopped here. Null when it does not answer.
    static std::unique_ptr<XServer> Existing(const std::string& display);

    // Starts the server on a free display number and waits until it accepts
    // clients (it says so on -displayfd); false if it does not.
    bool Start();
    // After Kill: a new server on the same display number.
    bool Restart();
    // Ends the server as a crash would (SIGKILL) and waits until it is gone.
    void Kill();
    // Ends the server (SIGTERM, then SIGKILL after 5 s) and waits; a paused
    // server is let go on first.
    void Stop();
    // Stops the server as a debugger would (SIGSTOP): it keeps its clients'
    // connections and answers none of them until Resume (SIGCONT).
    void Pause() const;
    void Resume() const;

    const std::string& Display() const { return m_display; }
    int Width() const { return m_width; }
    int Height() const { return m_height; }

    // Paints the root window through xsetroot; false when that failed.
    bool PaintSolid(const std::string& color) const;
    // The left half of the screen one colour, the right half another.
    bool PaintHalves(const std::string& left, const std::string& right) const;

private:
    bool Launch(const std::vector<std::string>& displayArguments);
    // Runs an X client against the display; its exit status, or -1. Its
    // standard output goes to the file, if one is named.
    int RunClient(const std::vector<std::string>& argv, const std::string& output = "/dev/null") const;

    std::vector<std::string> m_options;
    std::string m_dir;
    std::string m_display;
    int m_width;
    int m_height;
    pid_t m_pid = -1;
};
