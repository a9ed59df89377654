#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "base/log.h"
#include "host_platform.h"
#include "text_file.h"

std::string HostConfPath()
{
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && config[0] == '/') {
        return std::string(config) + "/tonvik/host.conf";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] != '\0') {
        return std::string(home) + "/.config/tonvik/host.conf";
    }
    return {};
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash == 0 ? 1 : slash);
}

std::string HostLayoutsDir()
{
    const std::string conf = HostConfPath();
    return conf.empty() ? std::string() : DirectoryOf(conf) + "/layouts";
}

std::string TemporaryFileFor(const std::string& target)
{
    // Our own pid in the name: two hosts of one user never share a temporary file.
    return target + ".tmp-" + std::to_string(::getpid());
}

WriteOutcome WriteFileAtomically(const std::string& path, const std::string& bytes)
{
    const std::optional<std::string> target = FollowLinks(path);
    if (!target) {
        return WriteOutcome::Failed;
    }
    mode_t mode = 0600;
    struct stat existing {};
    if (::stat(target->c_str(), &existing) == 0) {
        if ((existing.st_mode & S_IWUSR) == 0) {
            return WriteOutcome::ReadOnly;
        }
        mode = existing.st_mode & 07777;
    }
    const std::string directory = DirectoryOf(*target);
    std::error_code error;
    if (!directory.empty()) {
        std::filesystem::create_directories(directory, error);
    }
    const std::string temporary = TemporaryFileFor(*target);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return WriteOutcome::Failed;
    }
    bool written = ::fchmod(fd, mode) == 0;
    for (size_t done = 0; written && done < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        written = n > 0;
        done += written ? static_cast<size_t>(n) : 0;
    }
    written = written && ::fsync(fd) == 0;
    written = ::close(fd) == 0 && written;
    if (!written || ::rename(temporary.c_str(), target->c_str()) != 0) {
        ::unlink(temporary.c_str());
        return WriteOutcome::Failed;
    }
    // The rename itself reaches the disk with the directory.
    const int dir = ::open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return WriteOutcome::Written;
}

size_t RemoveStaleTemporaryFiles(const std::string& directory,
                                 const std::function<bool(const std::string& fileName)>& isOurFile)
{
    size_t removed = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(directory, error)) {
        const std::string name = entry.path().filename().string();
        const std::optional<std::string> target = TemporaryFileTarget(name);
        struct stat file {};
        if (target && isOurFile(*target) && ::lstat(entry.path().c_str(), &file) == 0 && S_ISREG(file.st_mode) &&
            file.st_uid == ::geteuid() && ::unlink(entry.path().c_str()) == 0) {
            ++removed;
        }
    }
    return removed;
}

struct DirectoryLock {
    int fd;
};

void DirectoryLockDeleter::operator()(DirectoryLock* lock) const
{
    ::close(lock->fd);  // flock's lock goes with the last descriptor
    delete lock;
}

LockAttempt LockDirectory(const std::string& directory)
{
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    const std::string path = directory + "/host.lock";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        return {nullptr, 0, path + ": " + std::strerror(errno)};
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int failure = errno;
        char text[32] = {};
        const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        if (failure != EWOULDBLOCK) {
            return {nullptr, 0, path + ": " + std::strerror(failure)};
        }
        return {nullptr, n > 0 ? std::strtoul(text, nullptr, 10) : 0ul, {}};
    }
    DirectoryLockPtr lock(new DirectoryLock{fd});
    const std::string pid = std::to_string(::getpid()) + "\n";
    // The lock holds either way; only what a second host can report depends on it.
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        LogWarning(path + ": cannot note this host's process id in it");
    }
    return {std::move(lock), 0, {}};
}
