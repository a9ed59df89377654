#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "e2e/daemon_fixture.h"

// Which server speaks the PulseAudio protocol: PulseAudio itself, or
// PipeWire with WirePlumber and pipewire-pulse (most current desktops).
enum class SoundServerKind { PulseAudio, PipeWire };

// A private sound server for end-to-end tests: its own runtime directory,
// null sinks only, anonymous access on its native socket. PipeWire comes with
// its session manager and pipewire-pulse on a private D-Bus session bus. Each
// process is started and stopped by the pid the fixture records, never by
// name; the destructor stops them and removes the directory, also when a
// test fails.
class PulseServer {
public:
    // The first sink is the default, its monitor the default source (what a
    // capture endpoint records under Wine). Each sink's description is its
    // name, so the sink and its monitor can be told apart by name.
    explicit PulseServer(std::vector<std::string> sinks = {"tonvik_a"},
                         SoundServerKind kind = SoundServerKind::PulseAudio);
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server and waits until it answers; false if it does not.
    bool Start();
    // Stops the server's processes by their pids and waits until they are gone.
    void Stop();
    bool Running() const { return !m_pids.empty(); }
    SoundServerKind Kind() const { return m_kind; }
    // What the servers wrote, for a test's failure message.
    std::string Logs() const;

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
    // application (the server's application.name) when one is given, asking
    // for that latency.
    std::vector<std::string> PlayCommand(const std::string& sink, double seconds, const std::string& application = "",
                                         int latencyMs = 20) const;

    // The server's argument that loads a null sink as Start does.
    static std::string LoadSinkArguments(const std::string& sink);

private:
    bool StartPulseAudio();
    bool StartPipeWire();
    // Waits until the protocol answers, then makes the first sink the default.
    bool AnswersWithDefaults();
    pid_t Launch(const std::string& name, const std::vector<std::string>& argv);

    std::string m_dir;
    std::vector<std::string> m_sinks;
    SoundServerKind m_kind;
    std::vector<pid_t> m_pids;  // in start order
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

// A daemon's options for this server: its runtime directory and client
// environment, with the emulated keyboard of fakeHidDir logging to hidLog
// (and LD_LIBRARY_PATH's own directories after it).
Daemon::Options DaemonWithEmulatedKeyboard(const PulseServer& server, const std::string& fakeHidDir,
                                           const std::string& hidLog);
