#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "base/log.h"

namespace {

// systemd names the journal stream it connected to standard error as
// "device:inode"; a copy of the variable inherited by a process whose standard
// error goes elsewhere must not count.
bool StderrIsJournal()
{
    const char* stream = std::getenv("JOURNAL_STREAM");
    unsigned long long device = 0;
    unsigned long long inode = 0;
    struct stat info {};
    if (stream == nullptr || std::sscanf(stream, "%llu:%llu", &device, &inode) != 2 ||
        ::fstat(STDERR_FILENO, &info) != 0) {
        return false;
    }
    return static_cast<unsigned long long>(info.st_dev) == device &&
           static_cast<unsigned long long>(info.st_ino) == inode;
}

std::string LocalTime()
{
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    ::localtime_r(&now.tv_sec, &local);
    char text[32];
    const size_t length = std::strftime(text, sizeof text, "%H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03ld", now.tv_nsec / 1000000);
    return text;
}

}  // namespace

void Log(LogLevel level, const std::string& message)
{
    if (level == LogLevel::Debug && !VerboseLogging()) {
        return;
    }
    static const bool journal = StderrIsJournal();
    static const bool terminal = !journal && ::isatty(STDERR_FILENO) == 1;
    LogDecoration decoration;
    decoration.journalPriority = journal;
    if (terminal) {
        decoration.timestamp = LocalTime();
    }
    // One write per line: lines from different threads never mix.
    const std::string line = FormatLogLine(level, message, decoration);
    for (size_t written = 0; written < line.size();) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
        if (n <= 0) {
            return;
        }
        written += static_cast<size_t>(n);
    }
}

void SetLogCopyToRedirectedStandardError(bool) {}
