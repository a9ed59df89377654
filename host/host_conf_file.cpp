#include "host_conf_file.h"

#include <filesystem>
#include <mutex>
#include <optional>
#include <system_error>

#include "host_platform.h"
#include "host_settings.h"
#include "text_file.h"

ConfSave SaveHostConfValues(const std::string& path, const std::vector<std::pair<std::string, std::string>>& values)
{
    static std::mutex writing;
    std::lock_guard lock(writing);
    if (path.empty()) {
        return ConfSave::Failed;
    }
    std::error_code error;
    // A host.conf the host makes says what it is and which keys it may hold.
    std::string text = HostConfHeader();
    if (std::filesystem::exists(Utf8Path(path), error)) {
        const std::optional<std::string> current = ReadTextFile(Utf8Path(path), kMaxHostConfBytes);
        if (!current) {
            return ConfSave::Unreadable;
        }
        text = *current;
    }
    switch (WriteFileAtomically(path, UpdateHostConf(text, values))) {
    case WriteOutcome::Written:
        return ConfSave::Saved;
    case WriteOutcome::ReadOnly:
        return ConfSave::ReadOnly;
    case WriteOutcome::Failed:
        break;
    }
    return ConfSave::Failed;
}
