#include "app/single_instance.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <unistd.h>

namespace {

std::string LockPath()
{
    const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR");
    const std::string dir = runtimeDir != nullptr && runtimeDir[0] != '\0' ? runtimeDir : "/tmp";
    return dir + "/" + SingleInstance::kName + ".lock";
}

}  // namespace

// An advisory lock on a file: the kernel drops it when the process ends, however
// it ends, so a crashed daemon never blocks the next start.
SingleInstance::SingleInstance()
{
    const int fd = ::open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) {
        return;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        m_bAnotherRunning = errno == EWOULDBLOCK;
        ::close(fd);
        return;
    }
    m_handle = fd;
}

SingleInstance::~SingleInstance()
{
    if (m_handle >= 0) {
        ::close(static_cast<int>(m_handle));
    }
}
