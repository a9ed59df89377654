#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

// A private PulseAudio server for end-to-end tests: its own runtime directory,
// null sinks only, anonymous access on its native socket. Started and stopped
// by the pid it records, never by name; the destructor stops it and removes
// the directory, also when a test fails.
class PulseServer {
public:
    // The first sink is the default, its monitor the default source (what a
    // capture endpoint records under Wine). Each sink's description is its
    // name, so the sink and its monitor can be told apart by name.
    explicit PulseServer(std::vector<std::string> sinks = {"tonvik_a"});
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server and waits until it answers; false if it does not.
    bool Start();
    // Stops the server by its pid and waits until the process is gone.
    void Stop();
    bool Running() const { return m_pid > 0; }

    // A null sink renders two seconds ahead until a low-latency client asks
    // for less, and its monitor delivers nothing new until real time catches
    // up with that. Waits out those first two seconds after the start, so a
    // tone played afterwards reaches the monitor at once.
    void WaitUntilSettled() const;

    const std::string& RuntimeDir() const { return m_dir; }
    // What a client needs to reach this server and nothing else.
    std::vector<std::pair<std::string, std::string>> ClientEnv() const;

    // Runs a command with the client environment; its exit status, or -1.
    int Run(const std::vector<std::string>& argv) const;
    // Starts a command with the client environment in the background.
    pid_t Spawn(const std::vector<std::string>& argv) const;

    // A raw file of a full-scale 440 Hz stereo tone, 48 kHz float32le.
    std::string ToneFile(double seconds) const;
    // The command that plays that tone into the sink, as the named
    // application (the server's application.name) when one is given.
    std::vector<std::string> PlayCommand(const std::string& sink, double seconds,
                                         const std::string& application = "") const;

    // The server's argument that loads a null sink as Start does.
    static std::string LoadSinkArguments(const std::string& sink);

private:
    std::string m_dir;
    std::vector<std::string> m_sinks;
    pid_t m_pid = -1;
    std::chrono::steady_clock::time_point m_started;
};

// A player started by the test, ended by its pid when it goes out of scope.
class Player {
public:
    Player() = default;
    explicit Player(pid_t pid) : m_pid(pid) {}
    ~Player();
    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;
    Player& operator=(Player&& other) noexcept;

    // Waits for the player to end by itself; true when it did.
    bool Wait(int timeoutMs);
    void Kill();

private:
    pid_t m_pid = -1;
};
