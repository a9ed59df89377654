#include "base/debug_output.h"

#include <cstdio>

#include "base/log.h"

void DebugOutput(const std::string& text)
{
    if (VerboseLogging()) {
        std::fwrite(text.data(), 1, text.size(), stderr);
    }
}
