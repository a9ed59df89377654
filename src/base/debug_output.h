#pragma once

#include <string>

// The debugger-output channel: on Windows the debugger's output, elsewhere
// standard error, and only when TONVIK_DEBUG is set in the environment, so the
// daemon stays quiet by default.
void DebugOutput(const std::string& text);
