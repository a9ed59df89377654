#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "api/api_targets.h"
#include "base/socket.h"
#include "audio/visualizer.h"
#include "base/command_queue.h"
#include "base/relaxed.h"
#include "base/thread_basic.h"
#include "device/keyboard_link.h"
#include "hwmon/hardware_monitor.h"
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

    CKolvexDlg();
    explicit CKolvexDlg(WorkerClock clock);
    ~CKolvexDlg();

    // Start-up: the window hidden for good, the logon task replaced, lighting
    // thread, start-analysis command, hardware polling, API server.
    bool OnInitDialog() override;
    // Shutdown: server, hardware polling, lighting thread, screen sampler, in
    // that order; every thread is joined before this returns, then the window
    // goes. Safe to call more than once.
    void DestroyWindow() override;

    // The window has no controls, and whatever would show it hides it again.
    void CreateControls(const ControlRect& client) override;
    void LayoutControls(const ControlRect& client) override;
    int OnControlNotify(uint32_t controlId, uint32_t code, uint32_t param1, uint32_t param2) override;
    bool OnSysCommand(uint32_t command) override;
    // The live picture of the key grid, seen only when the window is shown.
    void OnPaint(Canvas& canvas, const ControlRect& client, const ControlRect& update) override;

    // One lighting tick: a queued command, or a frame, or the amplitude reading.
    void Run() override;

    void StartAnalysis();
    void StartHardwarePolling();
    void StartApiServer();
    void RenderFrame();
    std::string BuildHardwareJson();

    // Waits, at most the limit, until start-up has put its default effect
    // parameters in place. The API serves requests only after that, so a host
    // that asks at once cannot have its parameters overwritten by them.
    void WaitForStartupDefaults(std::chrono::milliseconds limit);

    LayoutTargets Layout() { return {m_keyGrid, m_layout, m_screenLight, m_commands}; }
    // What the API routes may read and change, lent for one request.
    ApiTargets Api();

    CommandQueue m_commands;
    std::thread m_serverThread;
    std::thread m_hwPollThread;
    Relaxed<bool> m_bHwPollRunning{false};  ///< set and cleared by the window thread, by exchange
    KeyGrid m_keyGrid;
    Visualizer m_visualizer;
    ScreenLight m_screenLight;
    HardwareMonitor m_hwMonitor;
    std::mutex m_snapshotMutex;
    HardwareSnapshot m_snapshot;
    bool m_bSnapshotValid = false;

    Relaxed<int32_t> m_nEffectRunning{1};
    Relaxed<bool> m_bLightingActive{false};
    Relaxed<int32_t> m_nActiveDeviceMode{0};
    Relaxed<int32_t> m_nAmplitudeReading{0};
    Relaxed<bool> m_bServerRunning{true};
    // The API listens here (host byte order): loopback, so that nothing on the
    // network can read the layout or stall the API, unless the user asks.
    uint32_t m_listenAddress = net::kLoopbackIpv4;
    Relaxed<uint64_t> m_lastRequestTick{0};
    EffectParams m_effect;
    LayoutIdentity m_layout;
    FrameRenderer m_renderer;
    KeyboardLink m_keyboard;

private:
    // The polling thread's body: opens the hardware monitor (retrying every
    // second), then measures and merges every 50 ms until stopped.
    void PollHardware();
    // Lets requests that wait for the start-up defaults through.
    void ReleaseStartupWait();
    // Clears the running flag, wakes the polling thread and joins it.
    void StopHardwarePolling();
    // Sleeps the period, or less when polling is stopped meanwhile.
    void WaitWhileHwPolling(std::chrono::milliseconds period);

    std::mutex m_hwPollWaitMutex;
    std::condition_variable m_hwPollWake;

    std::mutex m_startupMutex;
    std::condition_variable m_startupDone;
    bool m_bStartupDefaultsSet = false;
};
