// An emulated outside sensor library for the Windows end-to-end tests, built
// with MinGW-w64 from the library's published contract only: seven entry
// points exported by ordinal alone (one .def file per ordinal set), and
// 464-byte reading records with the fields the program reads.
//
// Its readings come from the script file that TONVIK_SENSOR_SCRIPT names, read
// at every initialise; lines of fields separated by "|":
//   accept|64,0        the initialise flags that succeed ("none": every one fails; no line: all succeed)
//   sensor|<name>
//   reading|<kind>|<group>|<device>|<source>|<code>|<value>|<unit>|<label>
// Every initialise and shutdown is appended to the file TONVIK_SENSOR_LOG names.
// Like a careless library, it fills a name buffer to the last byte, without a
// NUL, when the name does not fit.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Record {
    int32_t exists;
    int32_t reserved0;
    double value;
    char unit[32];
    int32_t group;
    int32_t reserved1;
    int32_t device;
    char reserved2[256];
    int32_t source;
    char reserved3[8];
    char label[132];
    int32_t code;
};
static_assert(sizeof(Record) == 464);
static_assert(offsetof(Record, value) == 8 && offsetof(Record, unit) == 16 && offsetof(Record, group) == 48);
static_assert(offsetof(Record, device) == 56 && offsetof(Record, source) == 316);
static_assert(offsetof(Record, label) == 328 && offsetof(Record, code) == 460);

struct Reading {
    int kind = 0;
    Record record{};
};

struct Sensor {
    std::string name;
    std::vector<Reading> readings;
};

std::vector<Sensor> g_sensors;
std::string g_accepted = "all";

void Note(const std::string& line)
{
    if (const char* path = std::getenv("TONVIK_SENSOR_LOG")) {
        std::ofstream(path, std::ios::app | std::ios::binary) << line << "\n";
    }
}

void CopyText(char* field, size_t size, const std::string& text)
{
    std::strncpy(field, text.c_str(), size - 1);
}

void LoadScript()
{
    g_sensors.clear();
    g_accepted = "all";
    const char* path = std::getenv("TONVIK_SENSOR_SCRIPT");
    std::ifstream script(path != nullptr ? path : "");
    for (std::string line; std::getline(script, line);) {
        std::vector<std::string> fields;
        std::istringstream parts(line);
        for (std::string field; std::getline(parts, field, '|');) {
            fields.push_back(field);
        }
        if (fields.size() == 2 && fields[0] == "accept") {
            g_accepted = fields[1];
        } else if (fields.size() == 2 && fields[0] == "sensor") {
            g_sensors.push_back({fields[1], {}});
        } else if (fields.size() == 9 && fields[0] == "reading" && !g_sensors.empty()) {
            Reading reading;
            reading.kind = std::atoi(fields[1].c_str());
            reading.record.exists = 1;
            reading.record.group = std::atoi(fields[2].c_str());
            reading.record.device = std::atoi(fields[3].c_str());
            reading.record.source = std::atoi(fields[4].c_str());
            reading.record.code = std::atoi(fields[5].c_str());
            reading.record.value = std::strtod(fields[6].c_str(), nullptr);
            CopyText(reading.record.unit, sizeof reading.record.unit, fields[7]);
            CopyText(reading.record.label, sizeof reading.record.label, fields[8]);
            g_sensors.back().readings.push_back(reading);
        }
    }
}

}  // namespace

extern "C" {

int EmuInitialise(int flags)
{
    Note("initialise " + std::to_string(flags));
    LoadScript();
    if (g_accepted == "all") {
        return 0;
    }
    std::istringstream accepted(g_accepted);
    for (std::string value; std::getline(accepted, value, ',');) {
        if (value == std::to_string(flags)) {
            return 0;
        }
    }
    return 1;
}

int EmuShutdown()
{
    Note("shutdown");
    g_sensors.clear();
    return 0;
}

int EmuSensorCount()
{
    return static_cast<int>(g_sensors.size());
}

int EmuRefresh()
{
    return 0;
}

int EmuUpdateSensor(int)
{
    return 0;
}

int EmuSensorName(int sensor, char* buffer, int size)
{
    if (sensor < 0 || static_cast<size_t>(sensor) >= g_sensors.size() || size <= 0) {
        return 0;
    }
    const std::string& name = g_sensors[static_cast<size_t>(sensor)].name;
    std::memcpy(buffer, name.c_str(), std::min(name.size() + 1, static_cast<size_t>(size)));
    return 1;
}

int EmuReadReading(int kind, int sensor, int index, void* record)
{
    if (sensor < 0 || static_cast<size_t>(sensor) >= g_sensors.size() || index < 0) {
        return 0;
    }
    int seen = 0;
    for (const Reading& reading : g_sensors[static_cast<size_t>(sensor)].readings) {
        if (reading.kind == kind && seen++ == index) {
            std::memcpy(record, &reading.record, sizeof reading.record);
            return 1;
        }
    }
    return 0;
}

}  // extern "C"
