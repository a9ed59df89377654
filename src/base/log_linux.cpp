#include <unistd.h>

#include <cstdlib>

#include "base/log.h"

void Log(LogLevel level, const std::string& message)
{
    static const bool debugEnabled = std::getenv("TONVIK_DEBUG") != nullptr;
    if (level == LogLevel::Debug && !debugEnabled) {
        return;
    }
    // One write per line: lines from different threads never mix.
    const std::string line = FormatLogLine(level, message);
    for (size_t written = 0; written < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n <= 0) {
            return;
        }
        written += static_cast<size_t>(n);
    }
}
