#include "base/log.h"

std::string FormatLogLine(LogLevel level, const std::string& message)
{
    std::string line = "tonvik: ";
    if (level == LogLevel::Error) {
        line += "error: ";
    } else if (level == LogLevel::Warning) {
        line += "warning: ";
    }
    line += message;
    line += '\n';
    return line;
}
