#include "base/debug_output.h"

#include <cstdio>
#include <cstdlib>

void DebugOutput(const std::string& text)
{
    static const bool enabled = std::getenv("TONVIK_DEBUG") != nullptr;
    if (enabled) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}
