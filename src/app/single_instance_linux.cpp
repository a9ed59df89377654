#include "app/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "base/log.h"

namespace {

// The session's runtime directory; null when there is none.
const char* RuntimeDir()
{
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    return runtimeDir != nullptr && runtimeDir[0] != '\0' ? runtimeDir : nullptr;
}

// The user's runtime directory is theirs alone; /tmp is everybody's, so there
// the name carries the user id, or one user's daemon would block another's.
std::string LockPath(const char* runtimeDir)
{
    if (runtimeDir != nullptr) {
        return std::string(runtimeDir) + "/" + SingleInstance::kName + ".lock";
    }
    return std::string("/tmp/") + SingleInstance::kName + "-" + std::to_string(::geteuid()) + ".lock";
}

// In /tmp anyone may have made the file first: only a file of our own, made
// readable by us alone, is a guard we trust.
bool KeepPrivate(int fd, const std::string& path)
{
    struct stat status {};
    if (::fstat(fd, &status) != 0 || status.st_uid != ::geteuid()) {
        LogWarning("the lock file " + path + " is not this user's; running without the guard against a second copy");
        return false;
    }
    if ((status.st_mode & 0077) != 0) {
        ::fchmod(fd, 0600);
    }
    return true;
}

int64_t ReadPid(int fd)
{
    char text[32] = {};
    const ssize_t length = ::pread(fd, text, sizeof text - 1, 0);
    return length > 0 ? std::strtoll(text, nullptr, 10) : 0;
}

// The holder writes its pid right after taking the lock; a copy started in
// that instant waits a little for it.
int64_t WaitForPid(int fd)
{
    constexpr int kTries = 20;
    constexpr useconds_t kPauseUs = 10000;
    for (int i = 0; i < kTries; ++i) {
        if (const int64_t pid = ReadPid(fd); pid > 0) {
            return pid;
        }
        ::usleep(kPauseUs);
    }
    return 0;
}

}  // namespace

// An advisory lock on a file: the kernel drops it when the process ends, however
// it ends, so a crashed daemon never blocks the next start. The file holds the
// holder's pid, for the message of a second copy and for the user.
SingleInstance::SingleInstance()
{
    const char* runtimeDir = RuntimeDir();
    const std::string path = LockPath(runtimeDir);
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        LogWarning("cannot open the lock file " + path + " (" + std::strerror(errno) +
                   "); running without the guard against a second copy");
        return;
    }
    if (runtimeDir == nullptr && !KeepPrivate(fd, path)) {
        ::close(fd);
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_bAnotherRunning = errno == EWOULDBLOCK;
        if (m_bAnotherRunning) {
            m_nOtherPid = WaitForPid(fd);
        } else {
            LogWarning("cannot lock " + path + " (" + std::strerror(errno) +
                       "); running without the guard against a second copy");
        }
        ::close(fd);
        return;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        LogWarning("cannot write the pid to the lock file " + path);
    }
    m_handle = fd;
}

SingleInstance::~SingleInstance()
{
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}
