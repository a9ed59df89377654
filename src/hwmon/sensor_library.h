#pragma once

#include "hwmon/sensor_source.h"

// Windows: the outside sensor library "HWiNFO32.dll", looked for beside the
// program and then by name, its seven entry points taken by ordinal (the
// first set, else the second), initialised with the flags 192, then 0, then
// 64. The source shuts the library down and unloads it when destroyed. The
// library is the user's own component: it is never shipped with Tonvik.
//
// Null, with the reason in `description`, when the library is missing, lacks an entry
// point or refuses all three initialisations (it is unloaded again).
std::unique_ptr<SensorSource> OpenSensorLibrary(std::string& description);
