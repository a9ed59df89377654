// Discovery on the lighting thread: first sending frame, layout changes,
// unplug and replug, against the emulated keyboard with a simulated clock.
#include "device/keyboard_link.h"

#include <cstring>

#include "device/fake_hid_env.h"
#include "device/hid_device_manager.h"
#include "device/per_key_packet_protocol.h"

namespace {

constexpr uint16_t kVendor = 0x320F;
constexpr uint16_t kProduct = 0x5055;

CHidDeviceManager* g_manager = nullptr;
int g_created = 0;

CHidDeviceManager& TestManager()
{
    ++g_created;
    return *g_manager;
}

class KeyboardLinkTest : public FakeHidTest {
protected:
    void SetUp() override
    {
        FakeHidTest::SetUp();
        manager = std::make_unique<CHidDeviceManager>();
        g_manager = manager.get();
        g_created = 0;
    }

    void TearDown() override
    {
        manager.reset();
        g_manager = nullptr;
        FakeHidTest::TearDown();
    }

    // One frame of one key packet at the given time.
    bool Frame(uint64_t now, uint16_t vendor = kVendor, uint16_t product = kProduct)
    {
        link.BeginFrame(vendor, product, now);
        uint8_t report[kReportBytes] = {0, 0xAA, 0x32};
        PortOver port{link};
        const bool acknowledged = SendKeyPacket(port, report);
        link.EndFrame();
        return acknowledged;
    }

    std::unique_ptr<CHidDeviceManager> manager;
    KeyboardLink link{&TestManager};
};

TEST_F(KeyboardLinkTest, FirstFrameGetsTheManagerAndFindsTheKeyboard)
{
    EXPECT_EQ(g_created, 0);
    EXPECT_TRUE(Frame(1000));
    EXPECT_TRUE(Frame(1016));
    EXPECT_EQ(g_created, 1);
    EXPECT_EQ(Events("enumerate").size(), 1u);
    EXPECT_EQ(Events("open").size(), 2u);
}

TEST_F(KeyboardLinkTest, NoKeyboardIsLookedForAtMostOnceASecond)
{
    Control("unplugged");
    uint64_t now = 0;
    for (; now < 3000; now += 16) {
        EXPECT_FALSE(Frame(now));
    }
    EXPECT_EQ(Events("enumerate").size(), 3u);
    EXPECT_TRUE(Events("write").empty());

    Control("normal");
    while (!Frame(now)) {
        now += 16;
        ASSERT_LT(now, 4100u);
    }
}

TEST_F(KeyboardLinkTest, UnpluggedKeyboardIsClosedAndFoundAgainWhenReplugged)
{
    ASSERT_TRUE(Frame(0));
    Control("unplugged");
    uint64_t now = 16;
    for (int i = 0; i < 3; ++i, now += 16) {
        EXPECT_FALSE(Frame(now));
    }
    EXPECT_FALSE(manager->IsOpen());
    EXPECT_EQ(Events("close").size(), 2u);
    const size_t failedWrites = Events("write").size() - 1;
    EXPECT_EQ(failedWrites, 3u);

    // Closed, it is looked for again a second after the last discovery; nothing is written meanwhile.
    for (; now < 600; now += 16) {
        EXPECT_FALSE(Frame(now));
    }
    EXPECT_EQ(Events("enumerate").size(), 1u);
    EXPECT_EQ(Events("write").size(), 4u);

    Control("normal");
    for (; now < 1100 && !manager->IsOpen(); now += 16) {
        Frame(now);
    }
    EXPECT_TRUE(manager->IsOpen());
    EXPECT_TRUE(Frame(now));
}

TEST_F(KeyboardLinkTest, LayoutNamingAnotherKeyboardRediscoversAtOnce)
{
    ASSERT_TRUE(Frame(0));
    EXPECT_FALSE(Frame(16, 0x1234, 0x0001));
    EXPECT_FALSE(manager->IsOpen());
    EXPECT_FALSE(Frame(32, 0x1234, 0x0001));
    EXPECT_TRUE(Frame(48));
    EXPECT_EQ(Events("enumerate").size(), 3u);
}

TEST_F(KeyboardLinkTest, SilentKeyboardStaysOpen)
{
    ASSERT_TRUE(Frame(0));
    Control("silent");
    for (uint64_t now = 16; now < 16 * 5; now += 16) {
        EXPECT_FALSE(Frame(now));
    }
    EXPECT_TRUE(manager->IsOpen());
    EXPECT_TRUE(Events("close").empty());
}

}  // namespace
