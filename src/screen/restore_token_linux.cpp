// The restore token's file, written by a temporary file in the same directory
// and a rename, so that a crash leaves either the old token or the new one.
#include "screen/restore_token.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace {

constexpr char kFileName[] = "screencast-restore-token";
// A token is a short identifier; anything longer is not one of ours.
constexpr size_t kLongestToken = 4096;

std::string StateDirectory()
{
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/tonvik";
    }
    const char* home = std::getenv("HOME");
    return home != nullptr && home[0] == '/' ? std::string(home) + "/.local/state/tonvik" : std::string();
}

// Makes the directory and its missing parents (the parents as the user's
// umask says, ours 0700).
bool MakeDirectories(const std::string& path)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (::mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) {
            return false;
        }
    }
    return ::mkdir(path.c_str(), 0700) == 0 || errno == EEXIST;
}

bool WriteAll(int fd, const std::string& text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

std::string LoadRestoreToken()
{
    const std::string directory = StateDirectory();
    if (directory.empty()) {
        return {};
    }
    std::ifstream file(directory + "/" + kFileName);
    std::string token;
    if (!std::getline(file, token) || token.size() > kLongestToken) {
        return {};
    }
    return token;
}

bool StoreRestoreToken(const std::string& token)
{
    const std::string directory = StateDirectory();
    if (directory.empty() || token.find('\n') != std::string::npos || token.size() > kLongestToken) {
        return false;
    }
    const std::string path = directory + "/" + kFileName;
    if (token.empty()) {
        return ::unlink(path.c_str()) == 0 || errno == ENOENT;
    }
    if (!MakeDirectories(directory)) {
        return false;
    }
    std::string temporary = path + ".XXXXXX";
    // mkostemp creates the file with mode 0600.
    const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool written = WriteAll(fd, token + "\n") && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return false;
    }
    return true;
}
