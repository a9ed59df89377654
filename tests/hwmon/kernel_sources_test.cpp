// The Linux sources on fake /proc and /sys trees, through the real monitor and
// polling loop: a desktop, a laptop and an ARM board.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "hwmon/hardware_poller.h"
#include "hwmon/kernel_sources.h"

namespace fs = std::filesystem;

namespace {

const std::string kNetDevHeading =
    "Inter-|   Receive                                                |  Transmit\n"
    " face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets errs drop fifo colls "
    "carrier compressed\n";

std::string NetDevLine(const std::string& name, uint64_t received, uint64_t sent)
{
    return name + ": " + std::to_string(received) + " 10 0 0 0 0 0 0 " + std::to_string(sent) +
           " 10 0 0 0 0 0 0\n";
}

// A machine made of files, removed with the test.
class Machine : public ::testing::Test {
protected:
    Machine()
    {
        char pattern[] = "/tmp/tonvik-hwmon-XXXXXX";
        root = ::mkdtemp(pattern);
    }
    ~Machine() override { fs::remove_all(root); }

    void Write(const std::string& relative, const std::string& content)
    {
        fs::create_directories((root / relative).parent_path());
        std::ofstream(root / relative) << content;
    }
    void Gpu(const std::string& card, const std::string& vendor, const std::string& device, const std::string& slot,
             bool bootVga)
    {
        const std::string dir = "sys/class/drm/" + card + "/device/";
        Write(dir + "class", "0x030000\n");
        Write(dir + "vendor", vendor + "\n");
        Write(dir + "device", device + "\n");
        Write(dir + "boot_vga", bootVga ? "1\n" : "0\n");
        Write(dir + "uevent", "DRIVER=x\nPCI_CLASS=30000\nPCI_SLOT_NAME=" + slot + "\n");
    }
    void Stat(uint64_t busy, uint64_t idle)
    {
        Write("proc/stat", "cpu  " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                               " 0 0 0 0 0 0\ncpu0 1 0 0 1 0 0 0 0 0 0\nintr 1\n");
    }

    // Opens the monitor on the tree and runs polling passes at the given times.
    std::string PollAt(std::initializer_list<uint64_t> times, const std::function<void()>& between = [] {})
    {
        HardwareMonitor monitor([this] {
            return OpenKernelSources({root.string(), TONVIK_FAKE_NVML_PATH, [this] { return now; }});
        });
        EXPECT_TRUE(monitor.Open());
        std::mutex mutex;
        bool valid = false;
        HardwarePoller poller(monitor, {mutex, snapshot, valid}, [this] { return now; });
        bool first = true;
        for (uint64_t at : times) {
            if (!first) {
                between();
            }
            first = false;
            now = at;
            poller.Pass();
        }
        return valid ? HardwareSnapshotJson(snapshot) : "";
    }

    fs::path root;
    uint64_t now = 0;
    HardwareSnapshot snapshot;
};

TEST_F(Machine, DesktopWithRyzenIntegratedRadeonAndNvidia)
{
    Stat(100, 900);
    Write("proc/net/dev", kNetDevHeading + NetDevLine("lo", 5000, 5000) + NetDevLine("eth0", 1000, 500));
    Write("sys/class/hwmon/hwmon2/name", "k10temp\n");
    Write("sys/class/hwmon/hwmon2/temp1_label", "Tctl\n");
    Write("sys/class/hwmon/hwmon2/temp1_input", "61500\n");
    Write("sys/class/hwmon/hwmon2/temp3_label", "Tccd1\n");
    Write("sys/class/hwmon/hwmon2/temp3_input", "55250\n");
    Write("sys/class/hwmon/hwmon10/name", "nvme\n");
    Write("sys/class/hwmon/hwmon10/temp1_input", "99000\n");
    // The Ryzen's own Radeon, then the NVIDIA card that drives the display.
    Gpu("card1", "0x1002", "0x164e", "0000:10:00.0", false);
    Write("sys/class/drm/card1/device/gpu_busy_percent", "12\n");
    Write("sys/class/drm/card1/device/hwmon/hwmon5/name", "amdgpu\n");
    Write("sys/class/drm/card1/device/hwmon/hwmon5/temp1_label", "edge\n");
    Write("sys/class/drm/card1/device/hwmon/hwmon5/temp1_input", "48000\n");
    Gpu("card0", "0x10de", "0x2504", "0000:01:00.0", true);
    Write("sys/class/drm/card0-HDMI-A-1/status", "connected\n");
    Write("usr/share/misc/pci.ids",
          "# comment\n1002  Advanced Micro Devices, Inc. [AMD/ATI]\n\t164e  Raphael\n\t\t1002 164e  Raphael sub\n"
          "10de  NVIDIA Corporation\n\t2504  GA106 [GeForce RTX 3060 Lite Hash Rate]\n");
    ::setenv("TONVIK_FAKE_NVML", "NVIDIA GeForce RTX 3060|00000000:01:00.0|65|87", 1);

    const std::string json = PollAt({1000, 6000}, [this] {
        Stat(400, 1300);  // 300 busy of 700 more jiffies
        Write("proc/net/dev", kNetDevHeading + NetDevLine("lo", 9000, 9000) + NetDevLine("eth0", 51000, 5500));
    });
    EXPECT_EQ(json, R"({"cpuTemp":61.5,"cpuUsage":42.857143402099609,"cpuUsageValid":true,"gpuTemp":65.0,)"
                    R"("gpuUsage":87.0,"gpuUsageValid":true,"network_download":10000.0,"network_upload":1000.0})");
    EXPECT_TRUE(snapshot.hasIntegratedGpu && snapshot.integratedGpuUsageValid);
    EXPECT_EQ(snapshot.integratedGpuTemp, 48);
    EXPECT_EQ(snapshot.integratedGpuUsage, 12);
}

TEST_F(Machine, LaptopWithCoretempAndIntelGraphics)
{
    Stat(100, 100);
    Write("proc/net/dev", kNetDevHeading + NetDevLine("lo", 1, 1) + NetDevLine("wlan0", 10, 10));
    Write("sys/class/hwmon/hwmon4/name", "coretemp\n");
    Write("sys/class/hwmon/hwmon4/temp2_label", "Core 0\n");
    Write("sys/class/hwmon/hwmon4/temp2_input", "65000\n");
    Write("sys/class/hwmon/hwmon4/temp1_label", "Package id 0\n");
    Write("sys/class/hwmon/hwmon4/temp1_input", "71000\n");
    Gpu("card0", "0x8086", "0x46a6", "0000:00:02.0", true);
    Write("sys/class/drm/renderD128/device/class", "0x030000\n");
    ::setenv("TONVIK_FAKE_NVML", "", 1);

    // One pass: no CPU load yet (a load needs two samples); the Intel GPU is
    // there without a temperature or a load.
    EXPECT_EQ(PollAt({1000}), R"({"cpuTemp":71.0,"cpuUsage":0.0,"cpuUsageValid":false,"gpuTemp":0.0,)"
                              R"("gpuUsage":0.0,"gpuUsageValid":false,"network_download":0.0,"network_upload":0.0})");
    EXPECT_TRUE(snapshot.hasIntegratedGpu);
    EXPECT_FALSE(snapshot.hasDiscreteGpu);
}

TEST_F(Machine, ArmBoardWithoutNvml)
{
    Stat(10, 10);
    Write("sys/class/hwmon/hwmon0/name", "cpu_thermal\n");
    Write("sys/class/hwmon/hwmon0/temp1_input", "52500\n");
    HardwareMonitor monitor([this] { return OpenKernelSources({root.string(), "/nonexistent/libnvidia-ml.so.1", {}}); });
    ASSERT_TRUE(monitor.Open());
    HardwareSnapshot out;
    ASSERT_TRUE(monitor.ReadSensors(out));
    EXPECT_EQ(out.cpuTemp, 52.5f);
    EXPECT_FALSE(out.hasDiscreteGpu || out.hasIntegratedGpu);
}

TEST_F(Machine, BrokenFilesLeaveTheirReadingsOut)
{
    const auto open = [this] { return OpenKernelSources({root.string(), TONVIK_FAKE_NVML_PATH, {}}); };
    EXPECT_FALSE(open().sensors) << "no /proc/stat";
    Write("proc/stat", "intr 1 2 3\n");
    EXPECT_FALSE(open().sensors) << "no cpu line";

    Stat(5, 5);
    Write("proc/net/dev", kNetDevHeading + "eth0: 1 2 3\n" + "noColonHere 1 2\n");
    Write("sys/class/hwmon/hwmon0/name", "k10temp\n");
    Write("sys/class/hwmon/hwmon0/temp1_input", "hot\n");
    Write("sys/class/hwmon/hwmon0/temp2_input", "70000\n");
    Write("sys/class/hwmon/hwmon0/temp2_label", "Tdie\n");
    Gpu("card0", "0x10de", "0x2504", "0000:01:00.0", true);
    Write("sys/class/drm/card0/device/class", "0xZZ\n");
    // An NVIDIA device that only NVML knows, with a name too long for its buffer.
    const std::string longName = "NVIDIA " + std::string(120, 'x');
    ::setenv("TONVIK_FAKE_NVML", (longName + "|not a bus id|70|-5").c_str(), 1);

    const HardwareSources sources = open();
    ASSERT_TRUE(sources.sensors);
    EXPECT_NE(sources.description.find(longName.substr(0, 96) + " through NVML"), std::string::npos)
        << sources.description;
    HardwareMonitor monitor([&] { return open(); });
    ASSERT_TRUE(monitor.Open());
    HardwareSnapshot out;
    ASSERT_TRUE(monitor.ReadSensors(out));
    EXPECT_EQ(out.cpuTemp, 70);
    EXPECT_EQ(out.discreteGpuTemp, 70);
    EXPECT_EQ(out.networkDownload, 0);
    EXPECT_TRUE(monitor.ReadCounters(out));  // the NVML device's load, limited
    EXPECT_EQ(out.discreteGpuUsage, 100);
}

}  // namespace
