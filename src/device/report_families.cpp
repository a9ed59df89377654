#include "device/report_families.h"

#include <iterator>

#include "device/column_level_protocol.h"
#include "device/per_key_packet_protocol.h"

namespace {

template <class Protocol>
std::unique_ptr<KeyboardProtocol> Make()
{
    return std::make_unique<Protocol>();
}

struct DeviceMode {
    int32_t deviceMode;
    ReportFamily family;
    std::unique_ptr<KeyboardProtocol> (*make)();
};

// The mode table: a layout's "deviceMode" and the family it names.
constexpr DeviceMode kDeviceModes[] = {
    {0, ReportFamily::PerKeyPackets, Make<PerKeyPacketProtocol>},
    {1, ReportFamily::ColumnLevels, Make<ColumnLevelProtocol>},
};

// The rows stand in the order of the enum, one per family, so a family's
// number is the index of its protocol.
constexpr bool RowsFollowTheFamilies()
{
    for (size_t i = 0; i < std::size(kDeviceModes); ++i) {
        if (static_cast<size_t>(kDeviceModes[i].family) != i) {
            return false;
        }
    }
    return true;
}
static_assert(RowsFollowTheFamilies());

}  // namespace

ReportFamily ReportFamilyOf(int32_t deviceMode)
{
    for (const DeviceMode& row : kDeviceModes) {
        if (row.deviceMode == deviceMode) {
            return row.family;
        }
    }
    return ReportFamily::PerKeyPackets;
}

ReportFamilies::ReportFamilies()
{
    for (const DeviceMode& row : kDeviceModes) {
        m_protocols.push_back(row.make());
    }
}

KeyboardProtocol& ReportFamilies::Protocol(ReportFamily family)
{
    return *m_protocols[static_cast<size_t>(family)];
}
