#include "audio/visualizer.h"
#include "audio/visualizer_probe.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <memory>
#include <mutex>
#include <numbers>
#include <thread>
#include <vector>

namespace {

// A capture that hands out the packets queued by the test, one batch per drain.
class FakeCapture : public CaptureBackend {
public:
    struct Shared {
        std::mutex lock;
        std::vector<std::vector<float>> packets;  // interleaved stereo
        bool open = true;
        std::atomic<int> drains{0};
        std::atomic<bool> destroyed{false};
        std::atomic<bool> paused{false};
    };

    explicit FakeCapture(std::shared_ptr<Shared> shared) : m_shared(std::move(shared)) {}
    ~FakeCapture() override { m_shared->destroyed = true; }

    void SetPaused(bool paused) override { m_shared->paused = paused; }
    RecordingState Recorded() override
    {
        std::lock_guard lock(m_shared->lock);
        return {m_shared->open, "Fake capture"};
    }

    bool Drain(CapturePacketSink& sink) override
    {
        std::lock_guard lock(m_shared->lock);
        ++m_shared->drains;
        for (const auto& packet : m_shared->packets) {
            sink.OnPacket(packet.data(), packet.size(), static_cast<uint32_t>(packet.size() / 2));
        }
        m_shared->packets.clear();
        return m_shared->open;
    }

private:
    std::shared_ptr<Shared> m_shared;
};

class VisualizerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        shared = std::make_shared<FakeCapture::Shared>();
        vis = std::make_unique<Visualizer>();
        vis->InitVisualizer(std::make_unique<FakeCapture>(shared));
    }

    void Queue(std::vector<float> packet)
    {
        std::lock_guard lock(shared->lock);
        shared->packets.push_back(std::move(packet));
    }

    // Pushes values straight into the window: a group of four equal floats f
    // gives f * 2 * gain, so at gain 1 each group carries value / 2.
    void PushValues(const std::vector<float>& values)
    {
        vis->SetGain(1);
        std::vector<float> floats;
        for (float v : values) {
            floats.insert(floats.end(), 4, v / 2.0f);
        }
        vis->OnPacket(floats.data(), floats.size(), static_cast<uint32_t>(floats.size()));
    }

    // A stereo tone of 2 * count frames at the given cycles per 512 frames.
    static std::vector<float> Tone(size_t frames, double cycles, float amplitude)
    {
        std::vector<float> packet;
        for (size_t n = 0; n < frames; ++n) {
            const auto s = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * cycles * static_cast<double>(n) / 512.0));
            packet.push_back(s);
            packet.push_back(s);
        }
        return packet;
    }

    std::shared_ptr<FakeCapture::Shared> shared;
    std::unique_ptr<Visualizer> vis;
};

TEST_F(VisualizerTest, PacketArithmeticGroupsOfFourFloats)
{
    vis->SetGain(1200);
    const std::vector<float> half(4, 0.5f);  // two stereo frames of 0.5
    vis->OnPacket(half.data(), half.size(), 2);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 1200.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(254), 0.0f);

    // ceil(frames / 4) values from the first half of a stereo packet.
    std::vector<float> packet(2 * 481);
    for (size_t i = 0; i < packet.size(); ++i) {
        packet[i] = static_cast<float>(i / 4 + 1) / 4096.0f;
    }
    vis->SetGain(1);
    vis->OnPacket(packet.data(), 2 * 480, 480);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 2.0f * 120.0f / 4096.0f) << "120 values, the last from group 119";
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255 - 119), 2.0f / 4096.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255 - 120), 1200.0f) << "the value before the packet";
    vis->OnPacket(packet.data(), packet.size(), 481);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 2.0f * 121.0f / 4096.0f) << "121 values";
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255 - 121), 2.0f * 120.0f / 4096.0f);
}

TEST_F(VisualizerTest, IncompleteGroupsReadOnlyThePacketsFloats)
{
    vis->SetGain(1200);
    // One stereo frame: the group's missing floats count as silence.
    const std::vector<float> one{0.5f, 0.5f};
    vis->OnPacket(one.data(), one.size(), 1);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 600.0f);

    // Five mono frames: two groups, the second holding one float.
    const std::vector<float> mono{0.25f, 0.25f, 0.25f, 0.25f, 1.0f};
    vis->OnPacket(mono.data(), mono.size(), 5);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(254), 600.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 600.0f);

    // A frame count larger than the data forms no groups past the end.
    vis->OnPacket(one.data(), one.size(), 4000);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 600.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(254), 600.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(253), 600.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(252), 600.0f);

    // A damaged packet pushes silence; a missing one pushes nothing.
    const std::vector<float> bad{NAN, 0.5f, INFINITY, 0.5f};
    vis->OnPacket(bad.data(), bad.size(), 2);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 0.0f);
    vis->OnPacket(nullptr, 8, 4);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 0.0f);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(254), 600.0f);
}

TEST_F(VisualizerTest, SampleWindowKeepsTheNewest256InSlotOrder)
{
    std::vector<float> values;
    for (int i = 0; i < 300; ++i) {
        values.push_back(static_cast<float>(i));
    }
    PushValues(values);
    float window[kTransformSize];
    vis->Samples().CopyTo(window);
    for (int s = 0; s < kSampleSlots; ++s) {
        ASSERT_FLOAT_EQ(vis->Samples().Slot(s), static_cast<float>(44 + s));
        ASSERT_FLOAT_EQ(window[2 * s], static_cast<float>(44 + s));
        ASSERT_FLOAT_EQ(window[2 * s + 1], static_cast<float>(44 + s));
    }
}

TEST_F(VisualizerTest, LevelIsSlot128TruncatedAndNeverNegative)
{
    std::vector<float> values(256, 5000.0f);
    values[128] = -1234.75f;
    PushValues(values);
    vis->SetGain(1200);
    shared->open = true;
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), 1234);

    values[128] = 0.9f;
    PushValues(values);
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), 0);

    // A huge gain cannot push the level past the int range.
    vis->SetGain(INT32_MAX);
    const std::vector<float> loud(4 * 256, 1.0f);
    vis->OnPacket(loud.data(), loud.size(), 4 * 256);
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), INT32_MAX);
}

TEST_F(VisualizerTest, FullScaleSampleAtGain1200GivesLevel2400)
{
    vis->SetGain(1200);
    const std::vector<float> full(4 * 256, 1.0f);
    Queue(full);
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), 2400);
}

TEST_F(VisualizerTest, PeaksRiseAtOnceAndDecayByTwentyPercent)
{
    // Mode 2 leaves the peaks unsmoothed, so each shows its own decay.
    vis = std::make_unique<Visualizer>(Visualizer::PeakSmoothing{2, 8});
    vis->InitVisualizer(std::make_unique<FakeCapture>(shared));
    vis->SetGain(1200);
    Queue(Tone(1024, 64.0, 0.05f));
    vis->AnalyseStep();
    float held[kSpectrumColumns];
    std::copy(std::begin(vis->m_peaks), std::end(vis->m_peaks), held);
    float loudest = 0.0f;
    for (int i = 0; i < kSpectrumColumns; ++i) {
        EXPECT_GE(held[i], 0.0f);
        EXPECT_LE(held[i], 1.0f);
        EXPECT_EQ(held[i], held[i / 4 * 4]) << "each bin fills four columns";
        EXPECT_EQ(vis->m_spectrum[i], held[i]) << "follow 1.0 copies the peaks";
        loudest = std::max(loudest, held[i]);
    }
    EXPECT_GT(loudest, 0.5f);

    PushValues(std::vector<float>(256, 0.0f));
    vis->SetGain(1200);
    for (int frame = 1; frame <= 3; ++frame) {
        vis->AnalyseStep();
        for (int i = 0; i < kSpectrumColumns; ++i) {
            ASSERT_FLOAT_EQ(vis->m_peaks[i], held[i] * std::pow(0.8f, static_cast<float>(frame))) << i;
        }
    }
    EXPECT_EQ(vis->Level(), 0);
}

TEST_F(VisualizerTest, BarStyleZeroKeepsTheLevelButNoBars)
{
    vis->SetBarStyle(0);
    vis->SetGain(1200);
    std::fill(std::begin(vis->m_peaks), std::end(vis->m_peaks), 0.5f);
    Queue(Tone(2048, 16.0, 0.8f));
    vis->AnalyseStep();
    EXPECT_GT(vis->Level(), 0);
    for (float peak : vis->m_peaks) {
        ASSERT_LE(peak, 0.4f + 1e-6f) << "no value rises";
    }
}

TEST_F(VisualizerTest, LostStreamReadsAsSilence)
{
    vis->SetGain(1200);
    Queue(std::vector<float>(4 * 256, 0.5f));
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), 1200);
    shared->open = false;
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), 0);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 0.0f);
}

// An open stream that stops sending (a suspended sink) keeps the window for
// a moment, as between two packets, and then reads as silence too.
TEST_F(VisualizerTest, OpenStreamWithoutPacketsReadsAsSilenceAfter100Ms)
{
    vis->SetGain(1200);
    Queue(std::vector<float>(4 * 256, 0.5f));
    vis->AnalyseStep();
    const auto heard = std::chrono::steady_clock::now();
    vis->AnalyseStep();
    if (std::chrono::steady_clock::now() - heard < std::chrono::milliseconds(Visualizer::kNoPacketSilenceMs)) {
        EXPECT_EQ(vis->Level(), 1200) << "cleared between two packets";
    }
    std::this_thread::sleep_until(heard + std::chrono::milliseconds(Visualizer::kNoPacketSilenceMs + 5));
    vis->AnalyseStep();
    EXPECT_EQ(vis->Level(), 0);
    EXPECT_FLOAT_EQ(vis->Samples().Slot(255), 0.0f);
}

// ComposeFrame against the rules read pixel by pixel.
void ExpectComposed(const Visualizer& vis, bool bars)
{
    const float bass = vis.m_spectrum[5];
    for (int i = 0; i < kPictureHeight; ++i) {
        for (int j = 0; j < kPictureWidth; ++j) {
            const int p = i * 256 + j;
            bool lit;
            if (i == 0) {
                const int d = j < 128 ? 127 - j : j - 128;
                lit = bars && (bass - 0.05f) > d * 0.0078125f;
            } else {
                lit = bars && vis.m_spectrum[j] > (64 - i) * 0.015625;
            }
            ASSERT_EQ(vis.m_pBackFrame->pixels[p], lit ? vis.m_bars.pixels[p] : vis.m_background.pixels[p])
                << "row " << i << " column " << j;
            ASSERT_EQ(vis.BarMask().pixels[p], lit ? vis.m_bars.pixels[p] : 0u) << "row " << i << " column " << j;
        }
    }
}

class ComposeTest : public VisualizerTest {
protected:
    void SetUp() override
    {
        VisualizerTest::SetUp();
        for (int p = 0; p < kPicturePixels; ++p) {
            vis->m_bars.pixels[p] = 0x010000u + static_cast<uint32_t>(p);
            vis->m_background.pixels[p] = 0x020000u + static_cast<uint32_t>(p);
            VisualizerProbe::BarMask(*vis).pixels[p] = 0xDEADu;
        }
        vis->SetBarStyle(19);
    }
    bool Lit(int row, int column) const { return vis->BarMask().At(row, column) != 0; }
};

TEST_F(ComposeTest, HalfValueLightsRows33To63)
{
    std::fill(std::begin(vis->m_spectrum), std::end(vis->m_spectrum), 0.5f);
    vis->ComposeFrame();
    for (int j = 0; j < 256; ++j) {
        ASSERT_FALSE(Lit(32, j));
        ASSERT_TRUE(Lit(33, j));
        ASSERT_TRUE(Lit(63, j));
    }
    ExpectComposed(*vis, true);
}

TEST_F(ComposeTest, BassMeterGrowsFromTheMiddle)
{
    vis->m_spectrum[5] = 0.2f;
    vis->ComposeFrame();
    for (int j = 0; j < 256; ++j) {
        EXPECT_EQ(Lit(0, j), j >= 108 && j <= 147) << j;
    }
    ExpectComposed(*vis, true);

    vis->m_spectrum[5] = 0.05f;
    vis->ComposeFrame();
    for (int j = 0; j < 256; ++j) {
        EXPECT_FALSE(Lit(0, j)) << j;
    }
}

TEST_F(ComposeTest, ThresholdEdgesMatchThePixelRule)
{
    // Values on and just above each row's threshold, and just below.
    for (int j = 0; j < 256; ++j) {
        const float edge = static_cast<float>((j % 64) * 0.015625);
        vis->m_spectrum[j] = j < 64 ? edge : j < 128 ? std::nextafter(edge, 2.0f) : j < 192 ? std::nextafter(edge, -1.0f) : 1.0f;
    }
    vis->m_spectrum[64] = 1e-30f;
    vis->ComposeFrame();
    ExpectComposed(*vis, true);
}

TEST_F(ComposeTest, BarsOffGivesTheBackgroundAndAnEmptyMask)
{
    vis->SetBarStyle(0);
    std::fill(std::begin(vis->m_spectrum), std::end(vis->m_spectrum), 0.9f);
    vis->ComposeFrame();
    for (int p = 0; p < kPicturePixels; ++p) {
        ASSERT_EQ(vis->m_pBackFrame->pixels[p], vis->m_background.pixels[p]);
        ASSERT_EQ(VisualizerProbe::BarMask(*vis).pixels[p], 0u);
    }
}

TEST_F(VisualizerTest, FramesSwapAndTheHueAdvancesFiveDegrees)
{
    vis->SetBarStyle(19);
    vis->RunFrame();
    EXPECT_EQ(&vis->FrontFrame(), &VisualizerProbe::Frame(*vis, 0));
    EXPECT_EQ(vis->m_pBackFrame, &VisualizerProbe::Frame(*vis, 1));
    EXPECT_FLOAT_EQ(vis->m_fHue, 5.0f);
    vis->RunFrame();
    EXPECT_EQ(&vis->FrontFrame(), &VisualizerProbe::Frame(*vis, 1));
    for (int frame = 2; frame < 72; ++frame) {
        vis->RunFrame();
    }
    EXPECT_FLOAT_EQ(vis->m_fHue, 360.0f);
    vis->RunFrame();
    EXPECT_FLOAT_EQ(vis->m_fHue, 5.0f) << "restarts at 0 once it reaches 360";
}

TEST_F(VisualizerTest, FrameThreadRunsWhileActiveAndStopsOnDestruction)
{
    vis->StartThread();
    vis->StartThread();  // a second start does nothing
    vis->SetActive(true);
    while (shared->drains < 3) {
        std::this_thread::yield();
    }
    vis->SetActive(false);
    vis->StopThread();
    const int drains = shared->drains;
    EXPECT_GE(drains, 3);

    vis->StartThread();
    vis->SetActive(true);
    while (shared->drains < drains + 2) {
        std::this_thread::yield();
    }
    vis.reset();  // joins the thread, then releases the capture
    EXPECT_TRUE(shared->destroyed);
}

TEST(VisualizerIdle, InactiveThreadNeitherCapturesNorDraws)
{
    auto shared = std::make_shared<FakeCapture::Shared>();
    auto vis = std::make_unique<Visualizer>();
    vis->InitVisualizer(std::make_unique<FakeCapture>(shared));
    vis->StartThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(shared->drains, 0);
    EXPECT_EQ(&vis->FrontFrame(), &VisualizerProbe::Frame(*vis, 1));
    vis->StopThread();
}

// Screen mode leaves the analysis inactive for as long as it is on: the
// capture pauses then, stays paused across a rest, and runs again once the
// analysis is wanted.
TEST(VisualizerIdle, ALongIdleSpellPausesTheCaptureUntilActivation)
{
    auto shared = std::make_shared<FakeCapture::Shared>();
    auto vis = std::make_unique<Visualizer>();
    vis->InitVisualizer(std::make_unique<FakeCapture>(shared));
    vis->StartThread();
    const auto within = [](auto done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!done() && std::chrono::steady_clock::now() < end) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return done();
    };
    ASSERT_TRUE(within([&] { return shared->paused.load(); }));
    EXPECT_EQ(shared->drains, 0);

    vis->Rest();
    vis->Wake();
    EXPECT_TRUE(shared->paused) << "waking from a rest does not resume a capture nobody reads";

    vis->SetActive(true);
    EXPECT_TRUE(within([&] { return shared->drains > 0; }));
    EXPECT_FALSE(shared->paused);
    vis->StopThread();
}

TEST(VisualizerIdle, ReactivationResumesWithinAFewFrames)
{
    auto shared = std::make_shared<FakeCapture::Shared>();
    auto vis = std::make_unique<Visualizer>();
    vis->InitVisualizer(std::make_unique<FakeCapture>(shared));
    vis->StartThread();
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the loop is idle now
    vis->SetActive(true);
    const auto reactivated = std::chrono::steady_clock::now();
    while (shared->drains == 0 && std::chrono::steady_clock::now() - reactivated < std::chrono::seconds(5)) {
        std::this_thread::yield();
    }
    // A half-second idle sleep would still be running for another ~470 ms.
    EXPECT_LT(std::chrono::steady_clock::now() - reactivated, std::chrono::milliseconds(300));
    vis->StopThread();
}

}  // namespace
