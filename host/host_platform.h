#pragma once

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
// leaves the old file whole and removes the temporary one; false then.
bool WriteFileAtomically(const std::string& path, const std::string& bytes);
