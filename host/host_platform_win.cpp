#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>

#include "base/log.h"
#include "host_platform.h"
#include "text_file.h"

namespace {

std::string Narrow(const std::wstring& text)
{
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length > 0 ? length : 0), '\0');
    if (length > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                            nullptr);
    }
    return narrow;
}

std::wstring Wide(const std::string& text)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    }
    return wide;
}

}  // namespace

std::string HostConfPath()
{
    wchar_t appData[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA, nullptr, SHGFP_TYPE_CURRENT, appData))) {
        return {};
    }
    return Narrow(appData) + "\\Tonvik\\host.conf";
}

std::string DirectoryOf(const std::string& path)
{
    const size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string HostLayoutsDir()
{
    const std::string conf = HostConfPath();
    return conf.empty() ? std::string() : DirectoryOf(conf) + "\\layouts";
}

std::string TemporaryFileFor(const std::string& target)
{
    // Our own pid in the name: two hosts of one user never share a temporary file.
    return target + ".tmp-" + std::to_string(GetCurrentProcessId());
}

WriteOutcome WriteFileAtomically(const std::string& path, const std::string& bytes)
{
    const std::optional<std::string> resolved = FollowLinks(path);
    if (!resolved) {
        return WriteOutcome::Failed;
    }
    const std::wstring target = Wide(*resolved);
    const DWORD attributes = GetFileAttributesW(target.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0) {
        return WriteOutcome::ReadOnly;
    }
    const std::wstring directory = Wide(DirectoryOf(*resolved));
    std::error_code error;
    if (!directory.empty()) {
        std::filesystem::create_directories(directory, error);
    }
    const std::wstring temporary = Wide(TemporaryFileFor(*resolved));
    const HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return WriteOutcome::Failed;
    }
    bool written = true;
    for (size_t done = 0; written && done < bytes.size();) {
        DWORD n = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - done, 1u << 20));
        written = WriteFile(file, bytes.data() + done, chunk, &n, nullptr) && n > 0;
        done += n;
    }
    written = FlushFileBuffers(file) && written;
    written = CloseHandle(file) && written;
    if (!written ||
        !MoveFileExW(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        DeleteFileW(temporary.c_str());
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

// %APPDATA% is the user's own, so a regular file there is taken as one of ours.
size_t RemoveStaleTemporaryFiles(const std::string& directory,
                                 const std::function<bool(const std::string& fileName)>& isOurFile)
{
    size_t removed = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Wide(directory), error)) {
        const std::optional<std::string> target = TemporaryFileTarget(Narrow(entry.path().filename().wstring()));
        const DWORD attributes = GetFileAttributesW(entry.path().c_str());
        if (target && isOurFile(*target) && attributes != INVALID_FILE_ATTRIBUTES &&
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
            DeleteFileW(entry.path().c_str())) {
            ++removed;
        }
    }
    return removed;
}

struct DirectoryLock {
    HANDLE file;
};

void DirectoryLockDeleter::operator()(DirectoryLock* lock) const
{
    CloseHandle(lock->file);
    delete lock;
}

LockAttempt LockDirectory(const std::string& directory)
{
    std::error_code error;
    std::filesystem::create_directories(Wide(directory), error);
    const std::wstring path = Wide(directory + "\\host.lock");
    // Others may read it (for the pid), but no second host may open it to write while we hold it.
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD failure = GetLastError();
        if (failure != ERROR_SHARING_VIOLATION) {
            return {nullptr, 0, directory + "\\host.lock cannot be opened (error " + std::to_string(failure) + ")"};
        }
        unsigned long holder = 0;
        const HANDLE held = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (held != INVALID_HANDLE_VALUE) {
            char text[32] = {};
            DWORD n = 0;
            if (ReadFile(held, text, sizeof text - 1, &n, nullptr) && n > 0) {
                holder = std::strtoul(text, nullptr, 10);
            }
            CloseHandle(held);
        }
        return {nullptr, holder, {}};
    }
    DirectoryLockPtr lock(new DirectoryLock{file});
    const std::string pid = std::to_string(GetCurrentProcessId()) + "\r\n";
    DWORD n = 0;
    // The lock holds either way; only what a second host can report depends on it.
    if (!SetEndOfFile(file) || !WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &n, nullptr)) {
        LogWarning(directory + "\\host.lock: cannot note this host's process id in it");
    }
    return {std::move(lock), 0, {}};
}
