#include "app/startup_task.h"

// On Linux the daemon registers nothing at run time: start at logon is the
// systemd user unit tonvik.service, which each user enables (systemctl --user
// enable tonvik), or, on desktops whose session does not run under systemd,
// the XDG autostart entry. Both come with the install (packaging/).
void RemoveStartupTask() {}

void RegisterStartupTask() {}
