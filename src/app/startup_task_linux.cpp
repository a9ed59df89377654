#include "app/startup_task.h"

// On Linux, start at logon comes from the systemd user unit and the XDG
// autostart entry installed with the program; nothing is registered at run
// time, so both operations leave the system as it is.
void RemoveStartupTask() {}

void RegisterStartupTask() {}
