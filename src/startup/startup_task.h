#pragma once

#include <string>
#include <string_view>

// The logon task "Tonvik StartupTask": at every user logon it starts the
// launcher beside the executable, hidden and elevated. Window start-up removes
// the task and registers it anew, so it always names the latest copy's
// directory. Neither operation reports to its caller; failures are written to
// the standard streams and start-up carries on.
void RemoveStartupTask();
void RegisterStartupTask();

constexpr const wchar_t* kLauncherName = L"TonvikPlug.exe";

// The launcher beside the executable at modulePath: the executable's
// directory, exactly one backslash (also at a drive root), then the launcher's
// file name.
std::wstring LauncherPathFor(std::wstring_view modulePath);
