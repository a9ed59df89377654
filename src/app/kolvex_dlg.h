#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "api/api_targets.h"
#include "audio/capture_backend.h"
#include "base/socket.h"
#include "audio/visualizer.h"
#include "base/command_queue.h"
#include "base/relaxed.h"
#include "base/thread_basic.h"
#include "device/keyboard_link.h"
#include "hwmon/hardware_monitor.h"
#include "hwmon/hardware_polling.h"
#include "hwmon/hardware_snapshot.h"
#include "lighting/effect_params.h"
#include "lighting/frame_renderer.h"
#include "lighting/key_grid.h"
#include "lighting/layout.h"
#include "screen/screen_light.h"
#include "ui/dlg_base.h"

// The main window object: owns all state of the daemon by value and starts and
// stops every worker. Its lighting thread runs Run every 16 ms.
class CKolvexDlg : public CDlgBase, public CThreadBasic {
public:
    static constexpr uint32_t kLightingPeriodMs = 16;
    static constexpr int32_t kAmplitudeCap = 1000;
    // After this long without an effect, amplitude or unrecognised request the
    // daemon rests: well past the 1000 ms in which frames still go to the
    // keyboard, so nothing the keyboard or a polling host sees changes.
    static constexpr uint64_t kRestAfterMs = 2000;
    // The status says sound is playing when it was heard this recently.
    static constexpr uint64_t kSoundHeardWithinMs = 1000;

    // The platform's loopback capture.
    CKolvexDlg();
    // The capture this factory opens when the analysis starts (tests script it).
    explicit CKolvexDlg(CaptureFactory openCapture);
    explicit CKolvexDlg(WorkerClock clock);
    ~CKolvexDlg();

    // Start-up: the window hidden for good, the logon task replaced, lighting
    // thread, start-analysis command, hardware polling, API server.
    bool OnInitDialog() override;
    // Shutdown: server, hardware polling, lighting thread, screen sampler, in
    // that order, each joined before the next stops; then the hardware monitor
    // closes and the window goes. The Visualizer's frame thread and its
    // capture are stopped later, by ~Visualizer, when this object goes: nothing
    // they touch outlives them. Safe to call more than once.
    void DestroyWindow() override;

    // The window has no controls, and whatever would show it hides it again.
    void CreateControls(const ControlRect& client) override;
    void LayoutControls(const ControlRect& client) override;
    int OnControlNotify(uint32_t controlId, uint32_t code, uint32_t param1, uint32_t param2) override;
    bool OnSysCommand(uint32_t command) override;
    // The live picture of the key grid, seen only when the window is shown.
    void OnPaint(Canvas& canvas, const ControlRect& client, const ControlRect& update) override;

    // One lighting tick: a queued command, or a frame, or the amplitude
    // reading; or, once nobody has asked for anything for kRestAfterMs, the
    // rest: capture, analysis and screen sampler paused, and this thread
    // waiting until a request wakes it (WakeUp), a command is queued or the
    // worker stops. While the analysis' picture has settled in silence and
    // is on the keys, the frame is not rendered again (WaitWhileSettled).
    void Run() override;
    // Ends a rest at once (any thread); nothing when not resting.
    void WakeUp();

    void StartAnalysis();
    void StartApiServer();
    void RenderFrame();
    std::string BuildHardwareJson();
    // What the status route reports; on the API thread, waking nothing.
    DaemonStatus Status();

    // Waits, at most the limit, until start-up has put its default effect
    // parameters in place. The API serves requests only after that, so a host
    // that asks at once cannot have its parameters overwritten by them.
    void WaitForStartupDefaults(std::chrono::milliseconds limit);

    // The state is private; each consumer gets the narrow view it needs.
    // What the layout reader replaces.
    LayoutTargets Layout() { return {m_keyGrid, m_layout, m_screenLight, m_commands}; }
    // What the API routes may read and change, lent for one request.
    ApiTargets Api();
    // Where the hardware polling thread stores its snapshot.
    SnapshotTarget Snapshot() { return {m_snapshotMutex, m_snapshot, m_bSnapshotValid}; }

    // Where the API listens (host byte order); before OnInitDialog.
    void ListenOn(uint32_t address) { m_listenAddress = address; }
    // The sound analysis, started by the first lighting command.
    Visualizer& Analysis() { return m_visualizer; }
    // The renderer, whose column levels are those of the latest frame.
    const FrameRenderer& Renderer() const { return m_renderer; }
    // The report family of the layout's device mode as lighting last started with it.
    ReportFamily ActiveReportFamily() const { return m_activeReportFamily; }
    // Whether the screen sampler's thread could be started.
    bool ScreenSamplerRunning() const { return m_screenLight.ThreadStarted(); }
    // Whether the API server thread and the hardware polling thread run.
    bool ServerRunning() const { return m_serverThread.joinable(); }
    bool HardwarePollingRunning() const { return m_hwPolling.Running(); }

private:
    // Shared between threads. Each says which thread writes it; the lighting
    // thread reads all of them, the API thread those the routes lend (Api()).
    CommandQueue m_commands;  ///< pushed by the window and API threads, drained by the lighting thread
    std::thread m_serverThread;  ///< started and joined by the window thread
    KeyGrid m_keyGrid;  ///< layout by the API thread; colours by the lighting thread
    Visualizer m_visualizer;  ///< picture by its frame thread; settings by the lighting and API threads
    ScreenLight m_screenLight;  ///< colours by its sampler thread; enable and size by the lighting and API threads
    HardwareMonitor m_hwMonitor;  ///< opened and read by the hardware polling thread, closed by the window thread
    std::mutex m_snapshotMutex;
    HardwareSnapshot m_snapshot;  ///< by the hardware polling thread, under m_snapshotMutex
    bool m_bSnapshotValid = false;  ///< by the hardware polling thread, under m_snapshotMutex
    HardwarePolling m_hwPolling{m_hwMonitor, {m_snapshotMutex, m_snapshot, m_bSnapshotValid}};

    Relaxed<int32_t> m_nEffectRunning{1};  ///< by the API thread: 1 while the host is alive, 0 after a close or layout
    Relaxed<bool> m_bLightingActive{false};  ///< by the lighting thread (start lighting) and the API thread (amplitude)
    Relaxed<int32_t> m_nAmplitudeReading{0};  ///< by the lighting thread; read by the API thread
    Relaxed<bool> m_bServerRunning{true};  ///< cleared by the window thread to stop the API thread
    // The API listens here (host byte order): loopback, so that nothing on the
    // network can read the layout or stall the API, unless the user asks.
    uint32_t m_listenAddress = net::kLoopbackIpv4;
    Relaxed<uint64_t> m_lastRequestTick{0};  ///< by the API thread, on each request that keeps the frames going
    Relaxed<bool> m_bResting{false};  ///< by the lighting thread (rest) and the API thread (WakeUp), under m_restMutex
    EffectParams m_effect;  ///< by the lighting thread (start-up) and the API thread (effect and amplitude routes)
    LayoutIdentity m_layout;  ///< by the API thread (layout uploads)
    FrameRenderer m_renderer;  ///< lighting thread only
    ReportFamily m_activeReportFamily = ReportFamily::PerKeyPackets;  ///< lighting thread only (start lighting)
    KeyboardLink m_keyboard;  ///< lighting thread only; its State() read by the API thread
    uint64_t m_nRenderedSettle = 0;  ///< lighting thread only: the settled picture last rendered, 0 for none

    // Lets requests that wait for the start-up defaults through.
    void ReleaseStartupWait();
    // The rest, on the lighting worker: true when it rested (and has been woken).
    bool RestWhileUnwatched();
    // While the analysis holds a settled picture that is already on the keys,
    // the lighting worker waits instead of rendering it again: until the
    // picture moves on, a command comes, the amplitude route takes over or
    // the rest is due. True when it waited.
    bool WaitWhileSettled();
    bool Unwatched(uint64_t now) const;

    CaptureFactory m_openCapture;
    // Start-up counts as a request, so the daemon rests kRestAfterMs after it.
    const uint64_t m_createdTick;
    std::mutex m_restMutex;  // orders a rest against a wake-up that comes meanwhile
    Relaxed<bool> m_bStopping{false};  ///< set by the window thread before the lighting worker stops
    // Where the API listens, for the stop's knock; port 0 while nothing listens.
    uint16_t m_nApiPort = 0;

    std::mutex m_startupMutex;
    std::condition_variable m_startupDone;
    bool m_bStartupDefaultsSet = false;  ///< by the lighting thread, under m_startupMutex
};
