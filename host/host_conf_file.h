#pragma once

#include <string>
#include <utility>
#include <vector>

// Sets the values in the host.conf at path, keeping every other line as
// UpdateHostConf does (a missing file is made). The read and the write happen
// under one lock of the process, so two writers (the settings API on the web
// thread, the launcher's menu on the window thread) never undo each other's
// change. Any thread.
enum class ConfSave { Saved, Unreadable, ReadOnly, Failed };
ConfSave SaveHostConfValues(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values);
