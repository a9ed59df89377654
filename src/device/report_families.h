#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "device/keyboard_protocol.h"

// The report families the daemon speaks, one KeyboardProtocol each. A new
// family is a value here, its protocol's file, and its row in the mode table
// (report_families.cpp).
enum class ReportFamily {
    PerKeyPackets,
    ColumnLevels,
};

// The family a layout's device mode names. A mode the table does not list
// (the layout parser takes any integer there) gets the per-key packets, the
// family of mode 0.
ReportFamily ReportFamilyOf(int32_t deviceMode);

// One protocol object of every family, made once, each with its own scratch
// buffers. Lighting thread only.
class ReportFamilies {
public:
    ReportFamilies();

    KeyboardProtocol& Protocol(ReportFamily family);

private:
    std::vector<std::unique_ptr<KeyboardProtocol>> m_protocols;  // indexed by family
};
