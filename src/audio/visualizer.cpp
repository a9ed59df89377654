#include "audio/visualizer.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>

#include "base/api_contract.h"
#include "base/clock.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "base/thread_start.h"

namespace {

bool AnimatedStyle(int32_t style)
{
    return style >= api_contract::kFirstColourStyle && style <= api_contract::kLastColourStyle &&
           api_contract::kColourStyles[style].animated;
}

// The capture arithmetic's groups of four: each group's mean (floats past the
// packet's end count as silence), handed to `take` in order.
template <typename Take>
void ForEachGroupMean(const float* data, size_t floats, uint32_t frames, Take take)
{
    const size_t groups = std::min<size_t>(frames / 4 + (frames % 4 != 0), floats / 4 + (floats % 4 != 0));
    for (size_t g = 0; g < groups; ++g) {
        const size_t first = 4 * g;
        float sum = data[first];
        for (size_t i = first + 1; i < first + 4; ++i) {
            sum += i < floats ? data[i] : 0.0f;
        }
        take(sum * 0.25f);
    }
}

bool Quiet(float mean)
{
    // A value that is not finite is pushed as silence.
    return !std::isfinite(mean) || std::fabs(mean) < Visualizer::kQuietSample;
}

}  // namespace

Visualizer::~Visualizer()
{
    StopThread();
    m_pSourceChoice = nullptr;
    m_pCapture.reset();
}

void Visualizer::InitVisualizer(std::unique_ptr<CaptureBackend> capture)
{
    BuildWindowTables(m_windows);
    BuildTiltTable(m_tilt, kTiltBase, kTiltSlope);
    std::lock_guard lock(m_wakeMutex);
    m_pCapture = std::move(capture);
    m_pSourceChoice = m_pCapture ? m_pCapture->SourceChoice() : nullptr;
}

RecordingState Visualizer::Recorded()
{
    std::lock_guard lock(m_wakeMutex);
    return m_pCapture ? m_pCapture->Recorded() : RecordingState{};
}

bool Visualizer::HeardSoundWithin(uint64_t now, uint64_t ms) const
{
    const uint64_t heard = m_lastSoundTick;
    return heard != 0 && now - heard < ms;
}

void Visualizer::StartThread()
{
    if (m_pThread) {
        return;
    }
    auto thread = std::make_unique<std::thread>();
    m_bRunning = true;
    *thread = TryStartThread("audio frame", &Visualizer::FrameLoop, this);
    if (!thread->joinable()) {
        m_bRunning = false;
        return;
    }
    m_pThread = std::move(thread);
}

void Visualizer::StopThread()
{
    {
        std::lock_guard lock(m_wakeMutex);
        m_bRunning = false;
    }
    m_wake.notify_all();
    if (m_pThread) {
        m_pThread->join();
        m_pThread.reset();
    }
}

void Visualizer::Rest()
{
    {
        std::lock_guard lock(m_wakeMutex);
        m_bResting = true;
        UpdateCapturePause();
    }
    // A frame thread waiting for sound has no time-out to see the rest by.
    m_wake.notify_all();
}

void Visualizer::Wake()
{
    {
        std::lock_guard lock(m_wakeMutex);
        m_bResting = false;
        UpdateCapturePause();
    }
    m_wake.notify_all();
}

// Only an activation, or an end of activity while the frame thread waits for
// sound, has a waiter to wake. Every effect poll sets the flag, and a needless
// notify would also cut the frame thread's 15 ms pause short.
void Visualizer::SetActive(bool active)
{
    bool wake = false;
    {
        std::lock_guard lock(m_wakeMutex);
        wake = active ? !m_bActive : m_bAwaitingSound;
        m_bActive = active;
    }
    if (wake) {
        m_wake.notify_all();
    }
}

void Visualizer::UpdateCapturePause()
{
    const bool paused = m_bResting || m_bIdle;
    if (m_pCapture && paused != m_bCapturePaused) {
        m_bCapturePaused = paused;
        m_pCapture->SetPaused(paused);
    }
}

void Visualizer::WaitWhileResting()
{
    std::unique_lock lock(m_wakeMutex);
    m_wake.wait(lock, [this] { return !m_bRunning || !m_bResting; });
}

void Visualizer::Pause(uint32_t ms)
{
    std::unique_lock lock(m_wakeMutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return !m_bRunning; });
}

// Every effect request makes the analysis inactive for 150 ms, and SetActive
// ends the wait at once. A longer spell means nothing reads the sound (screen
// mode): the capture pauses until the analysis is wanted again, so the sound
// server does not wake the capture for every packet.
void Visualizer::WaitWhileInactive()
{
    std::unique_lock lock(m_wakeMutex);
    const auto wanted = [this] { return !m_bRunning || m_bActive; };
    if (m_wake.wait_for(lock, std::chrono::milliseconds(kInactivePollMs), wanted)) {
        return;
    }
    m_bIdle = true;
    UpdateCapturePause();
    m_wake.wait(lock, wanted);
    m_bIdle = false;
    UpdateCapturePause();
}

void Visualizer::SetBackStyle(int32_t style)
{
    if (m_nBackStyle.exchange(style) != style) {
        EndWaitForSound(false);
    }
}

void Visualizer::SetBackBrightness(int32_t brightness)
{
    if (m_nBackBrightness.exchange(brightness) != brightness) {
        EndWaitForSound(false);
    }
}

void Visualizer::FrameLoop()
{
    NameCurrentThread("tonvik-frames");
    while (m_bRunning) {
        if (m_bResting) {
            EndSettledPicture();
            WaitWhileResting();
            continue;
        }
        if (!m_bActive) {
            EndSettledPicture();
            WaitWhileInactive();
            continue;
        }
        RunFrame();
        EndSettledPicture();
        if (PictureSettled() && WaitForSound()) {
            continue;
        }
        Pause(kFramePauseMs);
    }
}

bool Visualizer::PictureSettled() const
{
    if (m_nQuietPushes < kSampleSlots || m_nLevel != 0 || AnimatedStyle(m_nBackStyle)) {
        return false;
    }
    for (int i = 0; i < kSpectrumColumns; ++i) {
        if (m_peaks[i] > kSettledPeak || m_spectrum[i] > kSettledPeak) {
            return false;
        }
    }
    return true;
}

// Without a capture nothing can be heard: the wait lasts until a rest, an
// idle spell or the stop.
bool Visualizer::WaitForSound()
{
    {
        // Before the capture listens, so that sound it hears at once is not lost.
        std::lock_guard lock(m_wakeMutex);
        m_bAwaitingSound = true;
        m_bSoundReturned = false;
    }
    if (m_pCapture && !m_pCapture->AwaitSound(*this)) {
        std::lock_guard lock(m_wakeMutex);
        m_bAwaitingSound = false;
        return false;
    }
    // What is left of them lights nothing, and sound would cover it at once;
    // the zero they fall towards is what the full cadence would show.
    std::fill(std::begin(m_peaks), std::end(m_peaks), 0.0f);
    std::fill(std::begin(m_spectrum), std::end(m_spectrum), 0.0f);
    m_nSettledPicture = ++m_nSettles;
    if (!m_bToldSettled) {
        m_bToldSettled = true;
        LogDebug("settled: silence and a still picture; analysis and key frames wait for sound");
    }
    bool sound = false;
    {
        std::unique_lock lock(m_wakeMutex);
        m_wake.wait(lock, [this] { return !m_bRunning || m_bResting || !m_bActive || !m_bAwaitingSound; });
        m_bAwaitingSound = false;
        sound = m_bSoundReturned;
    }
    if (m_pCapture) {
        m_pCapture->StopAwaitingSound();
    }
    if (sound) {
        m_bToldSettled = false;
        LogDebug("sound returns: analysis and key frames run again");
    }
    return true;
}

void Visualizer::EndWaitForSound(bool sound)
{
    {
        std::lock_guard lock(m_wakeMutex);
        if (!m_bAwaitingSound) {
            return;
        }
        m_bAwaitingSound = false;
        m_bSoundReturned = sound;
    }
    m_wake.notify_all();
}

void Visualizer::OnSoundReturns()
{
    EndWaitForSound(true);
}

void Visualizer::EndSettledPicture()
{
    if (m_nSettledPicture == 0) {
        return;
    }
    m_nSettledPicture = 0;
    if (m_settledPictureEnds) {
        m_settledPictureEnds();
    }
}

bool Visualizer::Audible(const float* data, size_t floats, uint32_t frames) const
{
    if (data == nullptr) {
        return false;
    }
    bool audible = false;
    ForEachGroupMean(data, floats, frames, [&](float mean) { audible = audible || !Quiet(mean); });
    return audible;
}

void Visualizer::RunFrame()
{
    AnalyseStep();
    if (m_fHue >= 360.0f) {
        m_fHue = 0.0f;
    } else if (m_fHue < 0.0f) {
        m_fHue = 360.0f;
    }
    FillStyle(m_nBackStyle, m_nBackBrightness, m_background);
    const int32_t barStyle = m_nBarStyle;
    FillStyle(barStyle, barStyle != 0 ? 100 : 0, m_bars);
    ComposeFrame();
    if (m_pBackFrame == &m_frames[0]) {
        m_pBackFrame = &m_frames[1];
        m_pFrontFrame = &m_frames[0];
    } else {
        m_pBackFrame = &m_frames[0];
        m_pFrontFrame = &m_frames[1];
    }
    m_fHue += kHueSpeed / 100.0f;
}

// Without a stream, or without packets, the window reads as silence, so the
// picture and the level fall away instead of freezing on the last sound heard.
void Visualizer::CaptureStep()
{
    if (!m_pCapture || !m_pCapture->Drain(*this) ||
        std::chrono::steady_clock::now() - m_lastPacket >= std::chrono::milliseconds(kNoPacketSilenceMs)) {
        m_sampleWindow.Clear();
        m_nQuietPushes = kSampleSlots;
    }
}

void Visualizer::OnPacket(const float* data, size_t floats, uint32_t frames)
{
    if (data == nullptr) {
        return;
    }
    m_lastPacket = std::chrono::steady_clock::now();
    const auto gain = static_cast<float>(m_nGain.load());
    bool heard = false;
    ForEachGroupMean(data, floats, frames, [&](float mean) {
        const float value = mean * 2.0f * gain;
        m_sampleWindow.Push(std::isfinite(value) ? value : 0.0f);
        m_nQuietPushes = Quiet(mean) ? std::min<uint32_t>(m_nQuietPushes + 1, kSampleSlots) : 0;
        heard = heard || (std::isfinite(mean) && std::fabs(mean) > kSilenceFloor);
    });
    if (heard) {
        m_lastSoundTick = TickCount64();
    }
}

void Visualizer::AnalyseStep()
{
    const float keep = static_cast<float>(kDecayPercent) / 100.0f;
    for (float& peak : m_peaks) {
        peak *= keep;
    }

    CaptureStep();

    // Samples are finite, but a large gain can carry them past the int range.
    const float level = std::fabs(m_sampleWindow.Slot(128));
    m_nLevel = level < 2147483648.0f ? static_cast<int32_t>(level) : std::numeric_limits<int32_t>::max();

    if (m_nBarStyle != 0) {
        m_sampleWindow.CopyTo(m_transform);
    } else {
        std::fill(std::begin(m_transform), std::end(m_transform), 0.0f);
    }
    static_assert(kWindowType >= 1 && kWindowType <= 3, "one of the three window tables");
    const float* window = m_windows[kWindowType - 1];
    for (int i = 0; i < kSampleSlots; ++i) {
        m_transform[i] *= window[i];
    }
    RealTransform512(m_transform);
    m_transform[0] = m_transform[2];
    for (int i = 0; i < kSpectrumColumns; ++i) {
        m_transform[i] *= m_tilt[i];
    }

    for (int k = 0; k < kSpectrumColumns / 4; ++k) {
        const float re = m_transform[2 * k];
        const float im = m_transform[2 * k + 1];
        const float m = std::sqrt(re * re + im * im);
        // For m = 0 the logarithm is minus infinity and nothing rises.
        const double v = std::min(std::log10(1.1 * m) * 0.5 + m * 0.9, 1.0);
        float& peak = m_peaks[4 * k];
        if (v > peak) {
            peak = static_cast<float>(v);
        }
        if (peak < 0.0f) {
            peak = 0.0f;
        }
        m_peaks[4 * k + 1] = peak;
        m_peaks[4 * k + 2] = peak;
        m_peaks[4 * k + 3] = peak;
    }

    SmoothPeaks(m_peaks, m_peakSmoothing.mode, m_peakSmoothing.width);

    for (int i = 0; i < kSpectrumColumns; ++i) {
        m_spectrum[i] += (m_peaks[i] - m_spectrum[i]) * kFollow;
    }
}

void Visualizer::ComposeFrame()
{
    const bool bars = m_nBarStyle > 0;
    SharedVisualizerImage& back = *m_pBackFrame;

    // Rows light from the bottom up: row i is lit when t > (64 - i) / 64,
    // that is from row floor(64 - 64 t) + 1 down (exact in double).
    int firstLit[kPictureWidth];
    for (int j = 0; j < kPictureWidth; ++j) {
        const double t = m_spectrum[j];
        firstLit[j] = t > 0.0 ? std::clamp(static_cast<int>(std::floor(64.0 - 64.0 * t)) + 1, 0, kPictureHeight)
                              : kPictureHeight;
    }

    // Row 0 is the bass meter, growing outward from columns 127 and 128. In
    // single precision, so a bass of exactly 0.05 lights nothing.
    const float bass = m_spectrum[5] - 0.05f;
    for (int j = 0; j < kPictureWidth; ++j) {
        const int d = j < 128 ? 127 - j : j - 128;
        const bool lit = bars && bass > static_cast<float>(d) * 0.0078125f;
        back.pixels[j] = lit ? m_bars.pixels[j] : m_background.pixels[j];
        m_barMask.pixels[j] = lit ? m_bars.pixels[j] : 0u;
    }
    for (int i = 1; i < kPictureHeight; ++i) {
        const int row = i * kPictureWidth;
        for (int j = 0; j < kPictureWidth; ++j) {
            const int p = row + j;
            const bool lit = bars && i >= firstLit[j];
            back.pixels[p] = lit ? m_bars.pixels[p] : m_background.pixels[p];
            m_barMask.pixels[p] = lit ? m_bars.pixels[p] : 0u;
        }
    }
}

void Visualizer::FillStyle(int32_t style, int32_t brightness, VisualizerImage& image) const
{
    m_styles.Fill(style, brightness, m_fHue, image);
}
