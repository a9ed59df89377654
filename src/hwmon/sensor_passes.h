#pragma once

#include "hwmon/hardware_snapshot.h"
#include "hwmon/sensor_source.h"

// Reads a sensor source into the zeroed record: the refresh step, then three
// passes that pick values by sensor name and reading label.
//  - CPU: the package temperature (else the first CPU or core temperature
//    above 0), and the best-scored total CPU load;
//  - GPU: sensors named like a GPU, split into the discrete and the other
//    (integrated) one, each with its temperature and its load, preferring GPU
//    utilisation over 3D load over core load;
//  - network: the upload and download rate of the busiest network adapter.
// Temperatures and rates are taken in the source's own units; loads are
// limited to 0..100. A load reading that is not a number is no candidate.
void ReadSensorPasses(SensorSource& source, HardwareSnapshot& out);
