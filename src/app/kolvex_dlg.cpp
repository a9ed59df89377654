#include "app/kolvex_dlg.h"

#include <cstdio>

#include "api/routes.h"
#include "api/server.h"
#include "base/clock.h"
#include "base/debug_output.h"
#include "app/startup_task.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "base/thread_start.h"
#include "base/timer_platform.h"
#include "device/discovery_schedule.h"
#include "hwmon/hardware_poller.h"
#include "ui/key_grid_paint.h"

namespace {

constexpr std::chrono::milliseconds kStartupWait{2000};
// The sensor source is tried again this often until it opens; between two
// polling passes the thread rests this long.
constexpr std::chrono::milliseconds kHwOpenRetry{1000};
constexpr std::chrono::milliseconds kHwPassPause{50};

// A frame's way to the hidden window and to the keyboard, looked for under
// the ids of the current layout.
class DlgFrameOutput final : public FrameOutput {
public:
    explicit DlgFrameOutput(CKolvexDlg& dlg) : m_dlg(dlg) {}

    void Invalidate() override { m_dlg.InvalidateWindow(); }
    void BeginDeviceFrame() override
    {
        m_dlg.m_keyboard.BeginFrame(UsbIdOrDefault(m_dlg.m_layout.m_nVendorId, LayoutIdentity::kDefaultVendorId),
                                    UsbIdOrDefault(m_dlg.m_layout.m_nProductId, LayoutIdentity::kDefaultProductId),
                                    TickCount64());
    }
    void EndDeviceFrame() override { m_dlg.m_keyboard.EndFrame(); }
    void SendCommand(uint8_t (&report)[kReportBytes]) override { m_dlg.m_keyboard.SendCommand(report); }
    void SendKeyPacket(uint8_t (&payload)[kPacketBytes]) override { m_dlg.m_keyboard.SendKeyPacket(payload); }
    bool Stopping() const override { return !m_dlg.IsWorkerRunning(); }

private:
    CKolvexDlg& m_dlg;
};

}  // namespace

CKolvexDlg::CKolvexDlg() = default;

CKolvexDlg::CKolvexDlg(WorkerClock clock) : CThreadBasic(clock) {}

CKolvexDlg::~CKolvexDlg()
{
    DestroyWindow();
}

bool CKolvexDlg::OnInitDialog()
{
    CDlgBase::OnInitDialog();
    HideForGood();
    SetWindowIcons();
    SetWindowTitle(L"Tonvik");
    RemoveStartupTask();
    RegisterStartupTask();
    if (!StartWorker(kLightingPeriodMs, "tonvik-light")) {
        // Nothing will set the start-up defaults, so requests need not wait for them.
        LogError("cannot start the lighting worker thread; going on without it");
        ReleaseStartupWait();
    }
    m_commands.Push(CMD_START_ANALYSIS);
    StartHardwarePolling();
    StartApiServer();
    PlaceOffScreen();
    return false;
}

void CKolvexDlg::DestroyWindow()
{
    m_bServerRunning = false;
    if (m_serverThread.joinable()) {
        m_serverThread.join();
    }
    StopHardwarePolling();
    StopWorker();
    m_screenLight.Stop();
    m_hwMonitor.Close();
    CDlgBase::DestroyWindow();
}

void CKolvexDlg::CreateControls(const ControlRect&) {}

void CKolvexDlg::LayoutControls(const ControlRect&)
{
    HideWindow();
}

int CKolvexDlg::OnControlNotify(uint32_t, uint32_t, uint32_t, uint32_t)
{
    return 1;
}

bool CKolvexDlg::OnSysCommand(uint32_t command)
{
    if (command == kScMinimize || command == kScMaximize || command == kScRestore) {
        HideWindow();
        return true;
    }
    return false;
}

void CKolvexDlg::OnPaint(Canvas& canvas, const ControlRect& client, const ControlRect&)
{
    PaintKeyGrid(canvas, client, m_keyGrid);
}

void CKolvexDlg::Run()
{
    if (const auto command = m_commands.Pop()) {
        if (*command == CMD_START_ANALYSIS) {
            HideWindow();
            StartAnalysis();
            m_commands.Push(CMD_START_LIGHTING);
        } else if (*command == CMD_START_LIGHTING) {
            m_nActiveDeviceMode = m_layout.m_nDeviceMode.load();
            m_bLightingActive = true;
        }
        return;
    }
    if (IsWindowVisible()) {
        HideWindow();
    }
    if (m_nEffectRunning == 0) {
        return;
    }
    if (m_bLightingActive) {
        timer_platform::BeginResolution(1);
        RenderFrame();
        timer_platform::EndResolution(1);
    } else {
        const int32_t level = std::min<int32_t>(m_visualizer.m_nLevel, kAmplitudeCap);
        m_nAmplitudeReading = level;
        char line[32];
        std::snprintf(line, sizeof line, "music: %d \n", level);
        DebugOutput(line);
    }
}

void CKolvexDlg::StartAnalysis()
{
    m_visualizer.InitVisualizer();
    m_visualizer.StartThread();

    m_effect.mode = 19;
    m_visualizer.m_nBarStyle = 19;
    m_effect.amplitude = 60;
    m_visualizer.m_nGain = 60 * 20;
    m_effect.backMode = 0;
    m_visualizer.m_nBackStyle = 0;
    m_effect.backModeBrightness = 100;
    m_visualizer.m_nBackBrightness = 100;
    m_visualizer.m_bActive = true;

    m_keyGrid.ComputeSampleCoordinates();

    const int32_t mode = m_effect.mode;
    m_screenLight.SetEnabled(mode == kScreenMode);
    if (mode == kRippleMode) {
        m_visualizer.m_nBarStyle = 0;
    }

    ReleaseStartupWait();
}

void CKolvexDlg::ReleaseStartupWait()
{
    {
        std::lock_guard lock(m_startupMutex);
        m_bStartupDefaultsSet = true;
    }
    m_startupDone.notify_all();
}

void CKolvexDlg::WaitForStartupDefaults(std::chrono::milliseconds limit)
{
    std::unique_lock lock(m_startupMutex);
    m_startupDone.wait_for(lock, limit, [this] { return m_bStartupDefaultsSet; });
}

void CKolvexDlg::RenderFrame()
{
    DlgFrameOutput output(*this);
    m_renderer.RenderFrame({m_keyGrid, m_effect, m_visualizer, m_screenLight},
                           {TickCount64(), m_lastRequestTick, m_nActiveDeviceMode}, output);
}

void CKolvexDlg::StartHardwarePolling()
{
    if (!m_bHwPollRunning.exchange(true)) {
        m_hwPollThread = TryStartThread("hardware polling", &CKolvexDlg::PollHardware, this);
        if (!m_hwPollThread.joinable()) {
            m_bHwPollRunning.exchange(false);
        }
    }
}

void CKolvexDlg::StopHardwarePolling()
{
    {
        // Under the wait's lock, so the loop cannot miss the wake-up between
        // its test of the flag and its wait.
        std::lock_guard lock(m_hwPollWaitMutex);
        m_bHwPollRunning.exchange(false);
    }
    m_hwPollWake.notify_all();
    if (m_hwPollThread.joinable()) {
        m_hwPollThread.join();
    }
}

void CKolvexDlg::WaitWhileHwPolling(std::chrono::milliseconds period)
{
    std::unique_lock lock(m_hwPollWaitMutex);
    m_hwPollWake.wait_for(lock, period, [this] { return !m_bHwPollRunning; });
}

void CKolvexDlg::PollHardware()
{
    NameCurrentThread("tonvik-hw");
    while (m_bHwPollRunning && !m_hwMonitor.Open()) {
        WaitWhileHwPolling(kHwOpenRetry);
    }
    HardwarePoller poller(m_hwMonitor, {m_snapshotMutex, m_snapshot, m_bSnapshotValid}, TickCount64);
    while (m_bHwPollRunning) {
        poller.Pass();
        WaitWhileHwPolling(kHwPassPause);
    }
}

ApiTargets CKolvexDlg::Api()
{
    return {Layout(),          m_keyGrid,           m_effect,           m_visualizer,
            m_screenLight,     m_nEffectRunning,    m_bLightingActive,  m_nAmplitudeReading,
            m_lastRequestTick, [this] { return BuildHardwareJson(); }};
}

std::string CKolvexDlg::BuildHardwareJson()
{
    HardwareSnapshot copy;
    {
        std::lock_guard lock(m_snapshotMutex);
        if (!m_bSnapshotValid) {
            return {};
        }
        copy = m_snapshot;
    }
    return HardwareSnapshotJson(copy);
}

void CKolvexDlg::StartApiServer()
{
    if (m_serverThread.joinable()) {
        return;
    }
    net::OwnedSocket listener = OpenApiListener(m_listenAddress);
    if (!listener.Valid()) {
        return;
    }
    // A thread that cannot start takes the listener with it, closed.
    m_serverThread = TryStartThread("API server", [this, listener = std::move(listener)]() mutable {
        NameCurrentThread("tonvik-api");
        // Start-up's defaults come on the lighting worker's first ticks; a
        // request served before them would have its parameters overwritten.
        // Bounded, so a worker that never gets there cannot silence the API.
        ApiServerLoop(m_bServerRunning, std::move(listener), [this](const std::string& request) {
            WaitForStartupDefaults(kStartupWait);
            return DispatchRequest(Api(), request);
        });
    });
}
