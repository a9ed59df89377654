#include "startup/startup_task.h"

// On Linux the daemon registers nothing at run time: start at logon is the
// systemd user unit tonvik.service, which each user enables (systemctl --user
// enable tonvik), or, on desktops whose session does not run under systemd,
// the XDG autostart entry. Both come with the install (packaging/).
StartupTaskResult RemoveStartupTask()
{
    return {false, "there is no logon task on Linux"};
}

StartupTaskResult RegisterStartupTask()
{
    return {false, "there is no logon task on Linux"};
}

bool StartupTaskExists()
{
    return false;
}
