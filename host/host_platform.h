#pragma once

#include <string>

// The few things a host asks of its operating system. Paths are UTF-8.

// host.conf: $XDG_CONFIG_HOME/tonvik/host.conf, else ~/.config/tonvik/host.conf
// (Linux); %APPDATA%\Tonvik\host.conf (Windows). Empty when no home is known.
std::string HostConfPath();

// The directory part of a path ("" for a bare file name).
std::string DirectoryOf(const std::string& path);
