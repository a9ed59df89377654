#include "startup/startup_task.h"

std::wstring LauncherPathFor(std::wstring_view modulePath)
{
    // The directory keeps its final backslash, so a drive root ("C:\") and a
    // folder ("C:\Apps\") both take the name right after it.
    const size_t slash = modulePath.rfind(L'\\');
    std::wstring path(slash == std::wstring_view::npos ? std::wstring_view{} : modulePath.substr(0, slash + 1));
    path += kLauncherName;
    return path;
}
