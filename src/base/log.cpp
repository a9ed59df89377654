#include "base/log.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "base/clock.h"
#include "base/log_rate_limit.h"

namespace {

std::atomic<bool> g_verbose{std::getenv("TONVIK_DEBUG") != nullptr};
const char* g_name = "tonvik";

// syslog priorities, which journald reads from a "<N>" line prefix.
char JournalPriority(LogLevel level)
{
    switch (level) {
    case LogLevel::Error:
        return '3';
    case LogLevel::Warning:
        return '4';
    case LogLevel::Info:
        return '6';
    case LogLevel::Debug:
        break;
    }
    return '7';
}

}  // namespace

void SetVerboseLogging(bool verbose)
{
    g_verbose.store(verbose, std::memory_order_relaxed);
}

void SetLogName(const char* name)
{
    g_name = name;
}

bool VerboseLogging()
{
    return g_verbose.load(std::memory_order_relaxed);
}

void LogLimited(LogLevel level, const std::string& cause, const std::string& message)
{
    static std::mutex mutex;
    static LogRateLimit limit;
    std::optional<unsigned> held;
    {
        std::lock_guard lock(mutex);
        held = limit.Admit(cause, TickCount64());
    }
    if (!held) {
        return;
    }
    if (*held == 0) {
        Log(level, message);
        return;
    }
    Log(level, message + " (" + std::to_string(*held) + (*held == 1 ? " similar line" : " similar lines") +
                   " held back)");
}

std::string FormatLogLine(LogLevel level, const std::string& message, const LogDecoration& decoration)
{
    std::string line;
    if (decoration.journalPriority) {
        line += '<';
        line += JournalPriority(level);
        line += '>';
    } else {
        if (!decoration.timestamp.empty()) {
            line += decoration.timestamp;
            line += ' ';
        }
        line += g_name;
        line += ": ";
    }
    if (level == LogLevel::Error) {
        line += "error: ";
    } else if (level == LogLevel::Warning) {
        line += "warning: ";
    }
    line += message;
    line += '\n';
    return line;
}
