// The device manager, and the two report families' sends through it, against
// the emulated keyboard (linked in place of hidapi).
#include "device/hid_device_manager.h"

#include <hidapi.h>

#include <cstring>
#include <memory>

#include "device/column_level_protocol.h"
#include "device/fake_hid_env.h"
#include "device/per_key_packet_protocol.h"

namespace {

constexpr uint16_t kVendor = 0x320F;
constexpr uint16_t kProduct = 0x5055;

class HidDeviceManagerTest : public FakeHidTest {
protected:
    // An interface of the emulated keyboard opened directly, staged with the given kind.
    std::unique_ptr<HidDeviceEntry> Entry(int iface, HidInterfaceKind kind)
    {
        auto entry = std::make_unique<HidDeviceEntry>();
        entry->m_pDevice.reset(hid_open_path(iface == 0 ? "fake-hid:0:keyboard" : "fake-hid:1:vendor"));
        entry->m_kind = kind;
        return entry;
    }

    // A per-key packet whose first table byte is the tag.
    static void KeyPacket(uint8_t (&report)[kReportBytes], uint8_t tag)
    {
        std::memset(report, 0, sizeof report);
        report[1] = 0xAA;
        report[2] = 0x32;
        report[3] = 56;
        report[9] = tag;
    }

    static void LevelReport(uint8_t (&report)[kReportBytes])
    {
        const uint8_t levels[kMaxKeyCols] = {};
        FillColumnLevelReport(report, 1, 2, 3, levels);
    }

    bool SendPacketVia(CHidDeviceManager& manager, uint8_t (&report)[kReportBytes])
    {
        PortOver port{manager};
        return SendKeyPacket(port, report);
    }

    bool SendLevelsVia(CHidDeviceManager& manager, uint8_t (&report)[kReportBytes])
    {
        PortOver port{manager};
        return SendColumnLevelReport(port, report);
    }
};

TEST_F(HidDeviceManagerTest, NeverOpenedSendsNothing)
{
    CHidDeviceManager manager;
    uint8_t payload[kReportBytes];
    KeyPacket(payload, 1);
    uint8_t report[kReportBytes];
    LevelReport(report);
    EXPECT_FALSE(SendPacketVia(manager, payload));
    EXPECT_FALSE(SendLevelsVia(manager, report));
    EXPECT_EQ(manager.Write(report), WriteOutcome::NoKeyboard);
    EXPECT_TRUE(Events("write").empty());
    EXPECT_TRUE(Events("read").empty());
}

TEST_F(HidDeviceManagerTest, DiscoveryOpensBothInterfacesAndPrefersTheVendorPage)
{
    CHidDeviceManager manager;
    ASSERT_TRUE(manager.HidReady());
    ASSERT_TRUE(manager.OpenKeyboard(kVendor, kProduct));
    EXPECT_TRUE(manager.IsOpen());
    ASSERT_EQ(manager.InterfaceCount(), 2u);
    // Enumerated keyboard page first, vendor page second.
    EXPECT_EQ(manager.Interface(0)->m_kind, HidInterfaceKind::Fallback);
    EXPECT_EQ(manager.Interface(1)->m_kind, HidInterfaceKind::Reports);
    EXPECT_EQ(manager.Interface(1)->m_strProduct, L"Emulated keyboard");
    EXPECT_EQ(manager.FindInterface(), manager.Interface(1)->m_pDevice.get());

    uint8_t payload[kReportBytes];
    KeyPacket(payload, 0x42);
    EXPECT_TRUE(SendPacketVia(manager, payload));
    const auto writes = Events("write");
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].iface, 1);
    ASSERT_EQ(writes[0].bytes.size(), 65u);
    EXPECT_EQ(writes[0].bytes[0], 0);
    EXPECT_EQ(writes[0].bytes[1], 0xAA);
    EXPECT_EQ(writes[0].bytes[9], 0x42);
    const auto reads = Events("read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(reads[0].timeoutMs, 500);
    // The packet now holds the reply.
    EXPECT_EQ(payload[1], 0x55);
    EXPECT_EQ(payload[8], 0x42);

    manager.CloseAll();
    EXPECT_FALSE(manager.IsOpen());
    EXPECT_EQ(manager.InterfaceCount(), 0u);
    EXPECT_EQ(Events("close").size(), 2u);
    EXPECT_FALSE(SendPacketVia(manager, payload));
    EXPECT_EQ(Events("write").size(), 1u);
}

TEST_F(HidDeviceManagerTest, DiscoveryFindsNothingForOtherIdsOrAnUnpluggedKeyboard)
{
    CHidDeviceManager manager;
    EXPECT_FALSE(manager.OpenKeyboard(0x1234, kProduct));
    // hidapi's wildcard 0 would match every device on the machine.
    EXPECT_FALSE(manager.OpenKeyboard(0, 0));
    Control("unplugged");
    EXPECT_FALSE(manager.OpenKeyboard(kVendor, kProduct));
    EXPECT_FALSE(manager.IsOpen());
    EXPECT_TRUE(Events("open").empty());
    EXPECT_EQ(Events("enumerate").size(), 2u);
}

TEST_F(HidDeviceManagerTest, FindInterfacePrefersTheReportsKindAndKeepsItsChoice)
{
    CHidDeviceManager manager;
    manager.AddInterface(nullptr);
    manager.AddInterface(Entry(0, HidInterfaceKind::Fallback));
    manager.AddInterface(Entry(1, HidInterfaceKind::Reports));
    manager.MarkOpen();
    hid_device* const chosen = manager.FindInterface();
    EXPECT_EQ(chosen, manager.Interface(2)->m_pDevice.get());

    manager.AddInterface(Entry(1, HidInterfaceKind::Reports));
    EXPECT_EQ(manager.FindInterface(), chosen);
    manager.CloseAll();
    EXPECT_EQ(Events("close").size(), 3u);
    EXPECT_EQ(manager.FindInterface(), nullptr);
}

TEST_F(HidDeviceManagerTest, FallbackKindAndEmptySlots)
{
    CHidDeviceManager manager;
    manager.AddInterface(nullptr);
    manager.MarkOpen();
    EXPECT_EQ(manager.FindInterface(), nullptr);
    uint8_t payload[kReportBytes];
    KeyPacket(payload, 1);
    EXPECT_FALSE(SendPacketVia(manager, payload));
    EXPECT_TRUE(Events("write").empty());

    manager.AddInterface(Entry(0, HidInterfaceKind::Fallback));
    EXPECT_EQ(manager.FindInterface(), manager.Interface(1)->m_pDevice.get());
}

TEST_F(HidDeviceManagerTest, CommandCarriesChecksumAndReadsAfterAPause)
{
    CHidDeviceManager manager;
    ASSERT_TRUE(manager.OpenKeyboard(kVendor, kProduct));
    uint8_t report[kReportBytes];
    LevelReport(report);
    EXPECT_TRUE(SendLevelsVia(manager, report));

    const auto events = Events();
    const auto writes = FakeHidEventsOf(events, "write");
    ASSERT_EQ(writes.size(), 1u);
    // The whole output report, as hidraw needs it: 33 bytes, then zeros up to 64 data bytes.
    ASSERT_EQ(writes[0].bytes.size(), 65u);
    const std::vector<uint8_t> head(writes[0].bytes.begin(), writes[0].bytes.begin() + 7);
    EXPECT_EQ(head, (std::vector<uint8_t>{0, 0xAA, 0x35, 0, 1, 2, 3}));
    EXPECT_EQ(writes[0].bytes[32], 0xE5);
    EXPECT_EQ(std::vector<uint8_t>(writes[0].bytes.begin() + 33, writes[0].bytes.end()), std::vector<uint8_t>(32, 0));
    const auto reads = FakeHidEventsOf(events, "read");
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_GE(reads[0].us - writes[0].us, 5000u);
    // The report now holds the reply.
    EXPECT_EQ(report[1], 0x55);
    EXPECT_EQ(report[3], 1);
}

TEST_F(HidDeviceManagerTest, CommandRetriesOnceAfterTenMilliseconds)
{
    CHidDeviceManager manager;
    ASSERT_TRUE(manager.OpenKeyboard(kVendor, kProduct));
    Control("fail-writes 1");
    uint8_t report[kReportBytes];
    LevelReport(report);
    EXPECT_TRUE(SendLevelsVia(manager, report));
    EXPECT_FALSE(manager.LastWriteFailed());

    const auto events = Events();
    const auto writes = FakeHidEventsOf(events, "write");
    const auto reads = FakeHidEventsOf(events, "read");
    ASSERT_EQ(writes.size(), 2u);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_FALSE(writes[0].ok);
    EXPECT_TRUE(writes[1].ok);
    EXPECT_EQ(writes[0].bytes, writes[1].bytes);
    EXPECT_GE(writes[1].us - writes[0].us, 10000u);
    EXPECT_GE(reads[0].us - writes[1].us, 5000u);
}

TEST_F(HidDeviceManagerTest, FailedWritesAreNotReadAfter)
{
    CHidDeviceManager manager;
    ASSERT_TRUE(manager.OpenKeyboard(kVendor, kProduct));
    Control("fail-writes 3");
    uint8_t report[kReportBytes];
    LevelReport(report);
    EXPECT_FALSE(SendLevelsVia(manager, report));
    uint8_t payload[kReportBytes];
    KeyPacket(payload, 9);
    EXPECT_FALSE(SendPacketVia(manager, payload));
    EXPECT_TRUE(manager.LastWriteFailed());
    EXPECT_EQ(Events("write").size(), 3u);
    EXPECT_TRUE(Events("read").empty());
    // The packet is untouched when nothing was read.
    EXPECT_EQ(payload[9], 9);
}

TEST_F(HidDeviceManagerTest, SilentKeyboardIsNotAcknowledged)
{
    CHidDeviceManager manager;
    ASSERT_TRUE(manager.OpenKeyboard(kVendor, kProduct));
    Control("silent");
    uint8_t payload[kReportBytes];
    KeyPacket(payload, 3);
    EXPECT_FALSE(SendPacketVia(manager, payload));
    EXPECT_FALSE(manager.LastWriteFailed());
    // Nothing arrived: the buffer still holds the request.
    EXPECT_EQ(payload[1], 0xAA);
    EXPECT_EQ(payload[9], 3);

    uint8_t report[kReportBytes];
    LevelReport(report);
    EXPECT_FALSE(SendLevelsVia(manager, report));
    EXPECT_EQ(report[1], 0xAA);
    EXPECT_EQ(report[32], 0xE5);
}

TEST_F(HidDeviceManagerTest, LateReplyIsTakenByTheNextSend)
{
    CHidDeviceManager manager;
    ASSERT_TRUE(manager.OpenKeyboard(kVendor, kProduct));
    Control("late 600");
    uint8_t first[kReportBytes];
    KeyPacket(first, 1);
    EXPECT_FALSE(SendPacketVia(manager, first));
    uint8_t second[kReportBytes];
    KeyPacket(second, 2);
    EXPECT_TRUE(SendPacketVia(manager, second));
    // The acknowledgement read by the second send answers the first packet.
    EXPECT_EQ(second[8], 1);
}

}  // namespace
