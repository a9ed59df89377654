#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "base/relaxed.h"
#include "audio/capture_backend.h"
#include "audio/color_style.h"
#include "audio/sample_window.h"
#include "audio/spectrum.h"
#include "audio/visualizer_image.h"

// Audio capture and the spectrum picture. A frame thread drains the loopback
// capture into the sample window, analyses it and composes a 256 x 64 picture
// of coloured bars over a coloured background, a mask of the bar pixels and a
// level. The rest of the system reads the front frame, the bar mask and the
// level, and writes the style, gain, background and active members.
//
// Settled silence: once the window has held only silence long enough that
// the peaks, the followed spectrum, the level and the bar mask are all zero,
// and the background style is a static one, no frame can differ from the last
// until sound returns. The frame thread then stops its cadence and waits, the
// capture listening for sound meanwhile; the first audible packet wakes it.
class Visualizer : public CapturePacketSink, public SoundListener {
public:
    static constexpr uint32_t kFramePauseMs = 15;
    static constexpr uint32_t kInactivePollMs = 500;
    // A stream that delivers no packet for this long is silent: a suspended
    // sink's monitor sends nothing, nor does WASAPI loopback while nothing
    // renders, and the last samples heard must not stay in the window.
    static constexpr uint32_t kNoPacketSilenceMs = 100;
    // A captured sample (the mean of a group of four, before the gain) below
    // one part in 10^5 of full scale is silence.
    static constexpr float kQuietSample = 1e-5f;
    // Peaks and a followed spectrum below this light no row of the picture
    // (a row needs more than 1/64, the bass meter more than 0.05): settling
    // takes them as the zero they decay towards.
    static constexpr float kSettledPeak = 1e-6f;

    // How the peaks are smoothed across the columns: SmoothPeaks' mode and width.
    struct PeakSmoothing {
        int32_t mode;
        int32_t width;
    };
    // The analysis choices, the same for the whole life of the process.
    static constexpr PeakSmoothing kPeakSmoothing{1, 8};  ///< a moving average over 8 columns
    static constexpr int32_t kWindowType = 1;             ///< Hann (BuildWindowTables)
    static constexpr int32_t kDecayPercent = 80;          ///< what each peak keeps of itself per frame
    static constexpr float kFollow = 1.0f;                ///< how far the spectrum moves to the peaks per frame
    static constexpr float kHueSpeed = 500.0f;            ///< hundredths of a degree per frame
    static constexpr float kTiltBase = 0.04f;             ///< BuildTiltTable's base and slope
    static constexpr float kTiltSlope = 0.5f;

    Visualizer() : Visualizer(kPeakSmoothing) {}
    // With another smoothing of the peaks (a test may leave them unsmoothed).
    explicit Visualizer(PeakSmoothing smoothing) : m_peakSmoothing(smoothing) {}
    Visualizer(const Visualizer&) = delete;
    Visualizer& operator=(const Visualizer&) = delete;
    // Stops the frame thread, then the capture, before anything they use goes.
    ~Visualizer();

    // One-time set-up before StartThread: the analysis tables, and the
    // capture the frame thread drains (none: the picture hears silence).
    void InitVisualizer(std::unique_ptr<CaptureBackend> capture);

    // Starts the frame thread; does nothing while it runs. When no thread can
    // be created, logs it and leaves the picture still.
    void StartThread();
    // Stops and joins the frame thread; returns within one frame.
    void StopThread();
    // Whether the frame thread runs: started, and not stopped since.
    bool Running() const { return m_bRunning; }

    // Rest: the capture is paused and the frame thread waits, without a
    // time-out, until Wake (or the stop); the picture keeps its last frame.
    // Wake lets the capture run again first. Either from any thread, once
    // InitVisualizer has run.
    void Rest();
    void Wake();

    // Whether the frame thread analyses and composes (active) or idles; from
    // any thread. Activation wakes an idle frame thread at once.
    void SetActive(bool active);
    bool Active() const { return m_bActive; }

    // What the capture records (not connected before InitVisualizer or
    // without a capture); from any thread.
    RecordingState Recorded();
    // Whether a captured packet carried sound (a sample above kSilenceFloor)
    // less than `ms` before `now` (TickCount64); from any thread. While the
    // capture is paused nothing is heard, so this turns false.
    bool HeardSoundWithin(uint64_t now, uint64_t ms) const;
    // A sample (the plain average of a group, before the gain) this loud or
    // quieter is silence: well below anything audible.
    static constexpr float kSilenceFloor = 1.0e-4f;

    // The frame thread body: one analysed and composed frame, then a 15 ms
    // pause, while active; nothing while resting. Inactive for longer than
    // kInactivePollMs (screen mode, say), it pauses the capture too, until
    // it is active again. Settled in silence, it waits for sound instead of
    // the pause (see the class comment).
    void FrameLoop();

    // Non-zero while the front frame is a settled picture, which stays as it
    // is until the callback given to OnSettledPictureEnds runs: each settle
    // has a number of its own. From any thread.
    uint64_t SettledPicture() const { return m_nSettledPicture; }
    // Called on the frame thread whenever a settled picture ends (a new
    // frame, a rest or an idle spell comes); set before StartThread.
    void OnSettledPictureEnds(std::function<void()> callback) { m_settledPictureEnds = std::move(callback); }
    // Whether this frame's picture is settled: silence in the whole window,
    // level 0, peaks and spectrum below kSettledPeak, a static background.
    bool PictureSettled() const;
    // One active frame: analysis, the two style pictures, composition, the
    // swap of front and back frames and the hue advance.
    void RunFrame();
    // Decay, capture, level, transform and the followed spectrum.
    void AnalyseStep();
    // Moves every waiting captured packet into the sample window; with no
    // stream open, or no packet for kNoPacketSilenceMs, the window is silence.
    void CaptureStep();
    // Builds the back frame and the bar mask from the two style pictures and
    // the spectrum. Every mask pixel is written (0 where no bar is lit), which
    // is the frame's clearing of the mask and its rebuilding in one pass.
    void ComposeFrame();
    // Fills one picture with a colour style at the current hue.
    void FillStyle(int32_t style, int32_t brightness, VisualizerImage& image) const;

    // The capture arithmetic, identical on every platform: the packet is read
    // as 32-bit floats in groups of four, ceil(frames / 4) groups, each pushing
    // (f0 + f1 + f2 + f3) * 0.25 * 2 * gain into the window. A group is read
    // only as far as the packet's floats go: floats past the end count as
    // silence, and a group that would start past the end is not formed. A
    // value that is not finite (a damaged packet) is pushed as silence.
    void OnPacket(const float* data, size_t floats, uint32_t frames) override;

    // A packet with a group of four whose mean is at least kQuietSample.
    bool Audible(const float* data, size_t floats, uint32_t frames) const override;
    // Ends the frame thread's wait for sound; from the capture's thread.
    void OnSoundReturns() override;

    const SharedVisualizerImage& FrontFrame() const { return *m_pFrontFrame.load(); }
    // The bar pixels of the front frame's composition, 0 where no bar is lit;
    // read while the frame thread rewrites it, as the front frame is.
    const SharedVisualizerImage& BarMask() const { return m_barMask; }
    int32_t Level() const { return m_nLevel; }
    const SampleWindow& Samples() const { return m_sampleWindow; }
    // The capture's choice of source and delay; null without one. From any thread.
    CaptureSourceChoice* SourceChoice() const { return m_pSourceChoice; }

    // The settings, read by the frame thread and written by the lighting and
    // API threads (start-up and new effect parameters; the amplitude route
    // clears the bar style).
    void SetGain(int32_t gain) { m_nGain = gain; }
    void SetBarStyle(int32_t style) { m_nBarStyle = style; }
    // A new background ends a settled picture's wait.
    void SetBackStyle(int32_t style);
    void SetBackBrightness(int32_t brightness);
    int32_t Gain() const { return m_nGain; }
    int32_t BarStyle() const { return m_nBarStyle; }
    int32_t BackStyle() const { return m_nBackStyle; }
    int32_t BackBrightness() const { return m_nBackBrightness; }

    // The frame thread's own working state, open to the tests that set up a
    // frame and look at its steps.
    float m_peaks[kSpectrumColumns] = {};
    float m_spectrum[kSpectrumColumns] = {};
    VisualizerImage m_background;
    VisualizerImage m_bars;
    SharedVisualizerImage* m_pBackFrame = &m_frames[0];
    float m_fHue = 0.0f;

private:
    // Tests and benchmarks set up a picture and a level to render from.
    friend struct VisualizerProbe;

    Relaxed<int32_t> m_nGain{270};            ///< by the lighting and API threads
    Relaxed<int32_t> m_nBackBrightness{100};  ///< by the lighting and API threads
    Relaxed<int32_t> m_nBackStyle{0};         ///< by the lighting and API threads
    Relaxed<int32_t> m_nBarStyle{18};         ///< by the lighting and API threads

    // What the frame thread makes; the renderer reads the level, the front
    // frame and the bar mask while they are being written.
    Relaxed<int32_t> m_nLevel{0};       ///< by the frame thread
    Relaxed<uint64_t> m_lastSoundTick{0};  ///< by the frame thread: when a packet last carried sound
    SharedVisualizerImage m_barMask;    ///< by the frame thread
    SharedVisualizerImage m_frames[2];  ///< by the frame thread, the back one of the two
    Relaxed<const SharedVisualizerImage*> m_pFrontFrame{&m_frames[1]};  ///< swapped by the frame thread

    // Sleeps up to ms, woken early by StopThread.
    void Pause(uint32_t ms);
    void WaitWhileInactive();
    void WaitWhileResting();
    // Pauses or resumes the capture to match the rest and idle flags; called
    // with m_wakeMutex held, so the pauses reach the capture in order.
    void UpdateCapturePause();
    // The settled picture's wait; false at once when the capture cannot
    // listen for sound (the frame thread keeps its cadence then).
    bool WaitForSound();
    void EndSettledPicture();
    // Ends the wait for sound, if any; `sound` says whether sound ended it.
    void EndWaitForSound(bool sound);

    const PeakSmoothing m_peakSmoothing;
    float m_windows[3][kSampleSlots] = {};
    float m_tilt[kSpectrumColumns] = {};
    Relaxed<bool> m_bRunning{false};  ///< by StartThread and StopThread, read by the frame thread
    SampleWindow m_sampleWindow;
    std::chrono::steady_clock::time_point m_lastPacket;  ///< frame thread only
    uint32_t m_nQuietPushes = kSampleSlots;  ///< frame thread only: pushes since the last audible one
    bool m_bToldSettled = false;             ///< frame thread only: the log has said so since sound was last heard
    Relaxed<uint64_t> m_nSettledPicture{0};  ///< by the frame thread
    uint64_t m_nSettles = 0;                 ///< frame thread only
    std::function<void()> m_settledPictureEnds;
    float m_transform[kTransformSize] = {};
    ColorStyles m_styles;
    std::unique_ptr<CaptureBackend> m_pCapture;  ///< set by InitVisualizer under m_wakeMutex
    std::atomic<CaptureSourceChoice*> m_pSourceChoice{nullptr};  ///< by InitVisualizer, read by the API thread
    std::unique_ptr<std::thread> m_pThread;
    std::mutex m_wakeMutex;
    std::condition_variable m_wake;
    Relaxed<bool> m_bResting{false};  ///< by Rest and Wake, under m_wakeMutex
    Relaxed<bool> m_bActive{false};   ///< by SetActive, under m_wakeMutex
    bool m_bIdle = false;             ///< the frame thread's long idle, under m_wakeMutex
    bool m_bCapturePaused = false;    ///< under m_wakeMutex
    bool m_bAwaitingSound = false;    ///< by the frame and capture threads, under m_wakeMutex
    bool m_bSoundReturned = false;    ///< by the capture thread, under m_wakeMutex
};
