// The lighting worker's tick as a state machine, driven one tick at a time.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <thread>
#include <vector>

#include "app/kolvex_dlg.h"
#include "audio/visualizer_probe.h"

namespace {

constexpr uint32_t kUntouched = 0xFFFFFFFF;  // no picture pixel has its top byte set

// The sound the window's analysis hears instead of a sound server's: silence,
// or a loud low tone (stereo, a few cycles per analysis window) while `playing`.
struct ScriptedSound {
    std::atomic<bool> playing{false};
    std::atomic<int> drains{0};
};

class ScriptedCapture : public CaptureBackend {
public:
    explicit ScriptedCapture(std::shared_ptr<ScriptedSound> sound) : m_sound(std::move(sound))
    {
        for (int n = 0; n < 256; ++n) {
            const auto s = static_cast<float>(std::sin(2.0 * 3.14159265358979 * 4.0 * n / 512.0));
            m_tone.push_back(s);
            m_tone.push_back(s);
        }
        m_silence.assign(m_tone.size(), 0.0f);
    }

    void SetPaused(bool) override {}
    RecordingState Recorded() override { return {true, "Scripted tone"}; }

    bool Drain(CapturePacketSink& sink) override
    {
        ++m_sound->drains;
        const std::vector<float>& packet = m_sound->playing ? m_tone : m_silence;
        sink.OnPacket(packet.data(), packet.size(), static_cast<uint32_t>(packet.size() / 2));
        return true;
    }

private:
    std::shared_ptr<ScriptedSound> m_sound;
    std::vector<float> m_tone;
    std::vector<float> m_silence;
};

class LightingLoop : public ::testing::Test {
protected:
    void MarkCells()
    {
        for (auto& row : dlg->Api().keyGrid.cells) {
            for (KeyCell& cell : row) {
                cell.color = kUntouched;
            }
        }
    }
    bool FrameRendered() const { return dlg->Api().keyGrid.Cell(0, 0).color != kUntouched; }

    bool AnyColumnLit() const
    {
        for (const uint8_t level : dlg->Renderer().Levels().level) {
            if (level != 0) {
                return true;
            }
        }
        return false;
    }

    // Waits, boundedly, until the analysis has drained the capture a few more times.
    void WaitForFrames(int frames)
    {
        const int target = sound->drains + frames;
        for (int i = 0; i < 400 && sound->drains < target; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::shared_ptr<ScriptedSound> sound = std::make_shared<ScriptedSound>();
    std::unique_ptr<CKolvexDlg> dlg =
        std::make_unique<CKolvexDlg>([s = sound] { return std::make_unique<ScriptedCapture>(s); });
};

TEST_F(LightingLoop, DefaultsOfAFreshWindowObject)
{
    EXPECT_EQ(dlg->Api().effectRunning, 1);
    EXPECT_FALSE(dlg->Api().lightingActive);
    EXPECT_EQ(dlg->ActiveReportFamily(), ReportFamily::PerKeyPackets);
    EXPECT_EQ(dlg->Api().effect.mode, 1);
    EXPECT_EQ(dlg->Api().effect.amplitude, 100);
    EXPECT_EQ(dlg->Api().effect.backModeBrightness, 100);
    EXPECT_EQ(dlg->Api().keyGrid.m_nKeyRows, 5);
    EXPECT_EQ(dlg->Api().keyGrid.m_nKeyCols, 65);
    EXPECT_EQ(dlg->Layout().identity.m_nVendorId, LayoutIdentity::kDefaultVendorId);
    EXPECT_EQ(dlg->Analysis().BarStyle(), 18);
    EXPECT_FALSE(dlg->Analysis().Active());
    EXPECT_EQ(dlg->Api().screenLight.m_nColumns, 22);
    EXPECT_EQ(dlg->Api().screenLight.m_nRows, 6);
    EXPECT_EQ(dlg->BuildHardwareJson(), "");
}

// The routes get the hardware reply from the window object: nothing until
// the polling thread has taken a snapshot, then that snapshot.
TEST_F(LightingLoop, LendsTheRoutesTheHardwareSnapshotOnceValid)
{
    EXPECT_EQ(dlg->Api().hardwareJson(), "");
    HardwareSnapshot snapshot;
    snapshot.cpuTemp = 45.0f;
    snapshot.cpuUsage = 37.3f;
    snapshot.cpuUsageValid = true;
    {
        const SnapshotTarget target = dlg->Snapshot();
        std::lock_guard lock(target.mutex);
        target.snapshot = snapshot;
        target.valid = true;
    }
    EXPECT_EQ(dlg->Api().hardwareJson(), HardwareSnapshotJson(snapshot));
}

TEST_F(LightingLoop, CommandsRunOnePerTickAndTheFirstFrameComesThird)
{
    VisualizerProbe::SetLevel(dlg->Analysis(), 1500);
    dlg->Run();  // nothing queued yet: publishes the level, capped
    EXPECT_EQ(dlg->Api().amplitudeReading, 1000);

    dlg->Layout().identity.m_nDeviceMode = 1;
    dlg->Layout().commands.Push(CMD_START_ANALYSIS);
    MarkCells();

    // From here on no tick publishes the level: the reading stays as it was.
    dlg->Run();  // start analysis
    EXPECT_EQ(dlg->Api().effect.mode, 19);
    EXPECT_EQ(dlg->Api().effect.amplitude, 60);
    EXPECT_EQ(dlg->Analysis().BarStyle(), 19);
    EXPECT_EQ(dlg->Analysis().Gain(), 1200);
    EXPECT_TRUE(dlg->Analysis().Active());
    EXPECT_FALSE(dlg->Api().screenLight.m_bEnabled);
    EXPECT_EQ(dlg->Api().keyGrid.m_rowSample[4], 56);
    EXPECT_EQ(dlg->Api().amplitudeReading, 1000);
    EXPECT_FALSE(FrameRendered());

    dlg->Run();  // start lighting
    EXPECT_TRUE(dlg->Api().lightingActive);
    EXPECT_EQ(dlg->ActiveReportFamily(), ReportFamily::ColumnLevels);
    EXPECT_FALSE(FrameRendered());

    dlg->Run();
    EXPECT_TRUE(FrameRendered());
    EXPECT_EQ(dlg->Api().amplitudeReading, 1000);
}

TEST_F(LightingLoop, RequestsWaitForTheStartupDefaults)
{
    std::atomic<bool> released{false};
    std::thread api([&] {
        dlg->WaitForStartupDefaults(std::chrono::seconds(30));
        released = true;
    });
    dlg->Layout().commands.Push(CMD_START_ANALYSIS);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(released);
    dlg->Run();  // start analysis: the defaults are in place
    api.join();
    EXPECT_TRUE(released);
    EXPECT_EQ(dlg->Api().effect.mode, 19);

    // Without a lighting worker the wait ends at its limit.
    auto idle = std::make_unique<CKolvexDlg>(CaptureFactory{});
    idle->WaitForStartupDefaults(std::chrono::milliseconds(10));
}

TEST_F(LightingLoop, TheCapturedSoundLightsTheKeyColumns)
{
    dlg->Layout().commands.Push(CMD_START_ANALYSIS);
    dlg->Run();
    dlg->Run();
    ASSERT_TRUE(dlg->Api().lightingActive);

    WaitForFrames(3);
    dlg->Run();
    EXPECT_FALSE(AnyColumnLit()) << "silence lit a column";
    EXPECT_EQ(dlg->Analysis().Level(), 0);

    sound->playing = true;
    WaitForFrames(3);
    dlg->Run();
    EXPECT_TRUE(AnyColumnLit());
    EXPECT_GT(dlg->Analysis().Level(), 0);

    sound->playing = false;
    WaitForFrames(40);  // the peaks fall by a fifth per frame
    dlg->Run();
    EXPECT_FALSE(AnyColumnLit()) << "the bars stayed up after the sound stopped";
}

TEST_F(LightingLoop, PauseAndResume)
{
    dlg->Api().lightingActive = true;
    dlg->Api().effectRunning = 0;
    MarkCells();
    dlg->Run();
    EXPECT_FALSE(FrameRendered());

    dlg->Api().effectRunning = 1;
    dlg->Run();
    EXPECT_TRUE(FrameRendered());

    // Amplitude-only operation: publishes, renders nothing.
    dlg->Api().lightingActive = false;
    VisualizerProbe::SetLevel(dlg->Analysis(), 999);
    MarkCells();
    dlg->Run();
    EXPECT_FALSE(FrameRendered());
    EXPECT_EQ(dlg->Api().amplitudeReading, 999);
}

TEST_F(LightingLoop, UnknownCommandsAreDroppedButTakeTheirTick)
{
    dlg->Api().lightingActive = true;
    dlg->Layout().commands.Push(7);
    MarkCells();
    dlg->Run();
    EXPECT_FALSE(FrameRendered());
    EXPECT_EQ(dlg->Layout().commands.Size(), 0u);
    dlg->Run();
    EXPECT_TRUE(FrameRendered());
}

}  // namespace
