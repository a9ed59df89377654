// The lighting worker's tick as a state machine, driven one tick at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "app/kolvex_dlg.h"

namespace {

constexpr uint32_t kUntouched = 0xFFFFFFFF;  // no picture pixel has its top byte set

class LightingLoop : public ::testing::Test {
protected:
    void MarkCells()
    {
        for (auto& row : dlg->m_keyGrid.cells) {
            for (KeyCell& cell : row) {
                cell.color = kUntouched;
            }
        }
    }
    bool FrameRendered() const { return dlg->m_keyGrid.Cell(0, 0).color != kUntouched; }

    std::unique_ptr<CKolvexDlg> dlg = std::make_unique<CKolvexDlg>();
};

TEST_F(LightingLoop, DefaultsOfAFreshWindowObject)
{
    EXPECT_EQ(dlg->m_nEffectRunning, 1);
    EXPECT_FALSE(dlg->m_bLightingActive);
    EXPECT_EQ(dlg->m_nActiveDeviceMode, 0);
    EXPECT_EQ(dlg->m_effect.mode, 1);
    EXPECT_EQ(dlg->m_effect.amplitude, 100);
    EXPECT_EQ(dlg->m_effect.backModeBrightness, 100);
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyRows, 5);
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyCols, 65);
    EXPECT_EQ(dlg->m_layout.m_nVendorId, LayoutIdentity::kDefaultVendorId);
    EXPECT_EQ(dlg->m_visualizer.m_nBarStyle, 18);
    EXPECT_FALSE(dlg->m_visualizer.m_bActive);
    EXPECT_EQ(dlg->m_screenLight.m_nColumns, 22);
    EXPECT_EQ(dlg->m_screenLight.m_nRows, 6);
    EXPECT_EQ(dlg->BuildHardwareJson(), "");
}

TEST_F(LightingLoop, CommandsRunOnePerTickAndTheFirstFrameComesThird)
{
    dlg->m_visualizer.m_nLevel = 1500;
    dlg->Run();  // nothing queued yet: publishes the level, capped
    EXPECT_EQ(dlg->m_nAmplitudeReading, 1000);

    dlg->m_layout.m_nDeviceMode = 1;
    dlg->m_commands.Push(CMD_START_ANALYSIS);
    MarkCells();
    dlg->m_nAmplitudeReading = 0;

    dlg->Run();  // start analysis
    EXPECT_EQ(dlg->m_effect.mode, 19);
    EXPECT_EQ(dlg->m_effect.amplitude, 60);
    EXPECT_EQ(dlg->m_visualizer.m_nBarStyle, 19);
    EXPECT_EQ(dlg->m_visualizer.m_nGain, 1200);
    EXPECT_TRUE(dlg->m_visualizer.m_bActive);
    EXPECT_FALSE(dlg->m_screenLight.m_bEnabled);
    EXPECT_EQ(dlg->m_keyGrid.m_rowSample[4], 56);
    EXPECT_EQ(dlg->m_nAmplitudeReading, 0);
    EXPECT_FALSE(FrameRendered());

    dlg->Run();  // start lighting
    EXPECT_TRUE(dlg->m_bLightingActive);
    EXPECT_EQ(dlg->m_nActiveDeviceMode, 1);
    EXPECT_FALSE(FrameRendered());

    dlg->Run();
    EXPECT_TRUE(FrameRendered());
    EXPECT_EQ(dlg->m_nAmplitudeReading, 0);
}

TEST_F(LightingLoop, RequestsWaitForTheStartupDefaults)
{
    std::atomic<bool> released{false};
    std::thread api([&] {
        dlg->WaitForStartupDefaults(std::chrono::seconds(30));
        released = true;
    });
    dlg->m_commands.Push(CMD_START_ANALYSIS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(released);
    dlg->Run();  // start analysis: the defaults are in place
    api.join();
    EXPECT_TRUE(released);
    EXPECT_EQ(dlg->m_effect.mode, 19);

    // Without a lighting worker the wait ends at its limit.
    auto idle = std::make_unique<CKolvexDlg>();
    idle->WaitForStartupDefaults(std::chrono::milliseconds(10));
}

TEST_F(LightingLoop, PauseAndResume)
{
    dlg->m_bLightingActive = true;
    dlg->m_nEffectRunning = 0;
    MarkCells();
    dlg->Run();
    EXPECT_FALSE(FrameRendered());

    dlg->m_nEffectRunning = 1;
    dlg->Run();
    EXPECT_TRUE(FrameRendered());

    // Amplitude-only operation: publishes, renders nothing.
    dlg->m_bLightingActive = false;
    dlg->m_visualizer.m_nLevel = 999;
    MarkCells();
    dlg->Run();
    EXPECT_FALSE(FrameRendered());
    EXPECT_EQ(dlg->m_nAmplitudeReading, 999);
}

TEST_F(LightingLoop, UnknownCommandsAreDroppedButTakeTheirTick)
{
    dlg->m_bLightingActive = true;
    dlg->m_commands.Push(7);
    MarkCells();
    dlg->Run();
    EXPECT_FALSE(FrameRendered());
    EXPECT_EQ(dlg->m_commands.Size(), 0u);
    dlg->Run();
    EXPECT_TRUE(FrameRendered());
}

}  // namespace
