#pragma once

#include <string>

// The daemon's log: one line per lifecycle event (started, listening, sound
// server or keyboard found and lost, layout accepted or rejected, stopping),
// in plain English, so a user can tell from it alone what the daemon is doing.
// On Linux each line goes to standard error as "tonvik: [level: ]message"
// (see LogDecoration for a terminal and for the journal); on Windows to the
// debugger's output. Callable from any thread; a line is never interleaved
// with another. Nothing is logged per frame except at Debug level, which on
// Linux is silent unless verbose logging is on.
enum class LogLevel { Error, Warning, Info, Debug };

void Log(LogLevel level, const std::string& message);

inline void LogError(const std::string& message) { Log(LogLevel::Error, message); }
inline void LogWarning(const std::string& message) { Log(LogLevel::Warning, message); }
inline void LogInfo(const std::string& message) { Log(LogLevel::Info, message); }
inline void LogDebug(const std::string& message) { Log(LogLevel::Debug, message); }

// Verbose logging: Debug lines and the per-tick debugger-channel lines. Off
// unless TONVIK_DEBUG is in the environment; the command line can turn it on.
void SetVerboseLogging(bool verbose);

// The program name that begins each line ("tonvik" unless changed). Set once,
// before any other thread starts; the hosts name themselves ("tonvik-host").
void SetLogName(const char* name);
bool VerboseLogging();

// Windows: the lines go to standard error as well, when it is a file or a
// pipe (a redirected run: the launcher under test). Set once, before any
// other thread starts. Linux writes there anyway.
void SetLogCopyToRedirectedStandardError(bool copy);

// For events that can repeat for as long as their cause lasts (a sound server
// that keeps restarting, a keyboard that keeps dropping out): at most one line
// a minute for the same cause; the next line that passes says how many were
// held back meanwhile.
void LogLimited(LogLevel level, const std::string& cause, const std::string& message);

// How a line is dressed for where it goes. A terminal gets the local time in
// front; the journal, which stamps lines itself, gets the "<N>" priority
// prefix it reads instead of our name. A file or pipe gets the plain line.
struct LogDecoration {
    bool journalPriority = false;
    std::string timestamp;  // empty: none
};

// The whole line with its "\n".
std::string FormatLogLine(LogLevel level, const std::string& message, const LogDecoration& decoration = {});
