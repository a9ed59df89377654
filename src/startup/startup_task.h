#pragma once

#include <string>
#include <string_view>

// The logon task "Tonvik StartupTask": at every user logon it starts the
// launcher beside the executable, hidden and elevated. Window start-up removes
// the task and registers it anew, so it always names the latest copy's
// directory; the launcher's "Start with Windows" removes it and registers it
// again. Failures are written to the standard streams; the daemon's start-up
// carries on either way and looks at no result, the launcher reports it.

// What an operation came to: done, or why not (the step that failed, with its
// HRESULT where there is one).
struct StartupTaskResult {
    bool done = false;
    std::string failure;
};

StartupTaskResult RemoveStartupTask();
StartupTaskResult RegisterStartupTask();
// True while a task of that name is in the root task folder.
bool StartupTaskExists();

constexpr const wchar_t* kLauncherName = L"TonvikPlug.exe";

// The launcher beside the executable at modulePath: the executable's
// directory, exactly one backslash (also at a drive root), then the launcher's
// file name.
std::wstring LauncherPathFor(std::wstring_view modulePath);
