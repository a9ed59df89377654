#pragma once

#include <string>

// The daemon's log: one line per lifecycle event (started, listening, sound
// server or keyboard found and lost, layout accepted or rejected, stopping),
// in plain English, so a user can tell from it alone what the daemon is doing.
// On Linux each line goes to standard error as "tonvik: [level: ]message"; on
// Windows to the debugger's output. Callable from any thread; a line is never
// interleaved with another. Nothing is logged per frame except at Debug level,
// which is silent unless asked for (TONVIK_DEBUG in the environment).
enum class LogLevel { Error, Warning, Info, Debug };

void Log(LogLevel level, const std::string& message);

inline void LogError(const std::string& message) { Log(LogLevel::Error, message); }
inline void LogWarning(const std::string& message) { Log(LogLevel::Warning, message); }
inline void LogInfo(const std::string& message) { Log(LogLevel::Info, message); }
inline void LogDebug(const std::string& message) { Log(LogLevel::Debug, message); }

// "tonvik: " and the level word before the message, "\n" after it.
std::string FormatLogLine(LogLevel level, const std::string& message);
