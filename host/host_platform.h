#pragma once

#include <functional>
#include <memory>
#include <string>

// The few things a host asks of its operating system. Paths are UTF-8.

// host.conf: $XDG_CONFIG_HOME/tonvik/host.conf, else ~/.config/tonvik/host.conf
// (Linux); %APPDATA%\Tonvik\host.conf (Windows). Empty when no home is known.
std::string HostConfPath();

// The directory part of a path ("" for a bare file name).
std::string DirectoryOf(const std::string& path);

// Where the layouts the user uploads are kept: "layouts" beside host.conf.
// Empty when no home is known.
std::string HostLayoutsDir();

// Replaces the file's contents all at once: the bytes go to a temporary file
// in the same directory (created as needed), reach the disk, and the
// temporary file is renamed over the old one. A failure (a full disk, say)
// leaves the old file whole and removes the temporary one: Failed then.
// Through a symbolic link (host.conf in a dotfiles checkout) the file it
// leads to is replaced and the link stays. The file keeps its permissions; a
// new one is for its owner alone (0600). A file its owner may not write (the
// read-only attribute on Windows) is not replaced: ReadOnly.
enum class WriteOutcome { Written, ReadOnly, Failed };
WriteOutcome WriteFileAtomically(const std::string& path, const std::string& bytes);

// The temporary file beside `target` that WriteFileAtomically of this process
// writes: "<target>.tmp-<pid>".
std::string TemporaryFileFor(const std::string& target);

// Removes, in the directory, the temporary files that a host killed in the
// middle of a write left: only names TemporaryFileFor makes for a file name
// that isOurFile accepts, only regular files of this user. How many it removed.
size_t RemoveStaleTemporaryFiles(const std::string& directory,
                                 const std::function<bool(const std::string& fileName)>& isOurFile);

// Keeps a second host from keeping the same settings: while a host holds the
// lock on its configuration directory (until it ends, however it ends),
// another cannot take it and is told the holder's process id.
struct DirectoryLock;
struct DirectoryLockDeleter {
    void operator()(DirectoryLock* lock) const;
};
using DirectoryLockPtr = std::unique_ptr<DirectoryLock, DirectoryLockDeleter>;
struct LockAttempt {
    DirectoryLockPtr lock;   // held: kept for as long as the host runs
    unsigned long holder = 0;  // not held: the process that holds it (0 when unknown)
    std::string error;         // not held for another reason (the directory cannot be made, say)
};
// The lock file is "host.lock" in the directory, which is made as needed.
LockAttempt LockDirectory(const std::string& directory);
