#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/api_contract.h"
#include "base/capture_choice.h"

// The effect a host asks for: the first four of the effect route's
// parameters, the daemon's own start-up values until the user chooses. (The
// fifth, screenToDevice, is always 1: a host wants the keyboard lit in screen
// mode too.)
struct EffectSettings {
    // A colour style for the bars, the ripple or the screen colours.
    int mode = api_contract::kStartupEffectValues.mode;
    // The sample gain is sensitivity x 20.
    int sensitivity = api_contract::kStartupEffectValues.amplitude;
    int background = api_contract::kStartupEffectValues.backMode;
    int brightness = api_contract::kStartupEffectValues.backModeBrightness;
};

// Everything a host run needs, from host.conf and then the command line.
struct HostSettings {
    // A layout file, or a bundled layout by name; both empty: no host loop
    // (with web, the web server alone).
    std::string layoutPath;
    std::string bundledLayout;
    EffectSettings effect;
    CaptureSource listen;  // what the daemon records: default, output:<name>, app:<name>
    CaptureDelay delay;    // how late the lights follow the sound: auto or 0-500 ms
    uint16_t port = 0;  // 0: the first of 9191-9199 that answers
    bool preview = false;
    bool web = false;
    uint16_t webPort = 0;  // 0: 9190, or the next free port below it
    std::string webRoot;   // empty: the installed share directory
    // host.conf's when-locked: "pause" (true) leaves the keyboard to itself
    // while the session is locked, "keep" keeps it lit.
    bool pauseWhenLocked = true;
    // host.conf's lighting: "paused" while the user paused it (the Windows
    // launcher's "Pause lighting"), "on" otherwise.
    bool userPaused = false;
    // host.conf's start-with-windows: "no" once the user unticked it in the
    // launcher's menu, so the daemon's own registration at its start is undone.
    bool startWithWindows = true;
};

// host.conf is a few lines; a larger file is not one.
constexpr size_t kMaxHostConfBytes = 65536;

// Reads host.conf text over the settings: "key = value" lines (layout, mode,
// sensitivity, background, brightness, listen, delay, port, when-locked,
// lighting, start-with-windows), blank lines and "#" comments.
// A layout that is a bare name (letters, digits, "-" and "_") is a bundled
// layout; any other is a file, a relative path taken from the file's
// directory (confDir). An unknown key or a bad value: the message ("line N:
// ...") and the settings as they were before the bad line.
std::optional<std::string> ReadHostConf(const std::string& text, const std::string& confDir, HostSettings& settings);

// The comment a host.conf that the host creates begins with: what the file
// is, and every key ReadHostConf takes with what its value may be.
std::string HostConfHeader();

// True for a name that can only be a bundled layout's.
bool IsBundledLayoutName(const std::string& name);

// The setting's value checked as host.conf and the command line check it:
// std::nullopt when it is good, else why not. For mode, sensitivity,
// background and brightness.
std::optional<std::string> CheckEffectSetting(const std::string& key, int value);

// The listen or delay value checked as host.conf reads it back: a value with
// a control character, or a blank at either end, could not be kept there.
std::optional<std::string> CheckListenSetting(const std::string& key, const std::string& value);

// host.conf text with the settings set to the values: every line of such a
// key rewritten, keys it lacks appended; comments, blank lines and all other
// lines kept as they are, with the file's byte-order mark and line ends.
std::string UpdateHostConf(const std::string& text, const std::vector<std::pair<std::string, std::string>>& values);

// What the command line asks for.
struct HostCommand {
    enum class Action { Run, Help, Version, UsageError };
    Action action = Action::Run;
    std::string error;  // for UsageError: what was wrong
    bool hide = false;  // the Windows launcher's -hide
};

// Applies the options (argv without the program name) over the settings:
// --layout FILE, --mode N, --sensitivity N, --background N, --brightness N,
// --listen ID, --delay D, --port N, --preview, --web, --web-port N, --web-root DIR (each also as
// --name=value), -h/--help, --version; "-hide" only when hideAllowed.
HostCommand ParseHostArguments(const std::vector<std::string>& args, bool hideAllowed, HostSettings& settings);

// The usage text, for --help and after a usage error.
std::string HostUsage(const char* program);

// The first port of the API range and the last.
constexpr uint16_t kFirstDaemonPort = api_contract::kFirstApiPort;
constexpr uint16_t kLastDaemonPort = api_contract::kLastApiPort;
