#pragma once

#include <string>

// The debugger-output channel: on Windows the debugger's output; elsewhere
// standard error, and only with verbose logging (base/log.h), so the daemon
// stays quiet by default.
void DebugOutput(const std::string& text);
