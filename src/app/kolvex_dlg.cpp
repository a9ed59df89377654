#include "app/kolvex_dlg.h"

#include <algorithm>
#include <cstdio>

#include "api/routes.h"
#include "api/server.h"
#include "base/clock.h"
#include "base/debug_output.h"
#include "startup/startup_task.h"
#include "base/log.h"
#include "base/thread_name.h"
#include "base/thread_start.h"
#include "base/timer_platform.h"
#include "device/discovery_schedule.h"
#include "ui/key_grid_paint.h"

namespace {

constexpr std::chrono::milliseconds kStartupWait{2000};

// A frame's way to the hidden window and to the keyboard, looked for under
// the ids of the current layout.
class DlgFrameOutput final : public FrameOutput {
public:
    DlgFrameOutput(CKolvexDlg& dlg, KeyboardLink& keyboard, const LayoutIdentity& layout)
        : m_dlg(dlg), m_keyboard(keyboard), m_layout(layout)
    {
    }

    void Invalidate() override { m_dlg.InvalidateWindow(); }
    void BeginDeviceFrame() override
    {
        m_keyboard.BeginFrame(UsbIdOrDefault(m_layout.m_nVendorId, LayoutIdentity::kDefaultVendorId),
                              UsbIdOrDefault(m_layout.m_nProductId, LayoutIdentity::kDefaultProductId), TickCount64());
    }
    void EndDeviceFrame() override { m_keyboard.EndFrame(); }
    WriteOutcome Write(const uint8_t (&report)[kReportBytes]) override { return m_keyboard.Write(report); }
    void Read(uint8_t (&reply)[kReportBytes], int timeoutMs) override { m_keyboard.Read(reply, timeoutMs); }
    bool Stopping() const override { return !m_dlg.IsWorkerRunning(); }

private:
    CKolvexDlg& m_dlg;
    KeyboardLink& m_keyboard;
    const LayoutIdentity& m_layout;
};

}  // namespace

CKolvexDlg::CKolvexDlg() : CKolvexDlg(OpenLoopbackCapture) {}

CKolvexDlg::CKolvexDlg(CaptureFactory openCapture)
    : m_openCapture(std::move(openCapture)), m_createdTick(TickCount64())
{
}

CKolvexDlg::CKolvexDlg(WorkerClock clock)
    : CThreadBasic(clock), m_openCapture(OpenLoopbackCapture), m_createdTick(TickCount64())
{
}

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
    m_hwPolling.Start();
    StartApiServer();
    PlaceOffScreen();
    return false;
}

void CKolvexDlg::DestroyWindow()
{
    m_bServerRunning = false;
    if (m_serverThread.joinable()) {
        net::Knock(m_listenAddress, m_nApiPort);
        m_serverThread.join();
    }
    m_hwPolling.Stop();
    m_bStopping = true;
    m_commands.Notify();
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
            m_activeReportFamily = ReportFamilyOf(m_layout.m_nDeviceMode.load());
            m_bLightingActive = true;
        }
        // A command may change the grid: the settled picture goes on the keys again.
        m_nRenderedSettle = 0;
        return;
    }
    if (IsWindowVisible()) {
        HideWindow();
    }
    if (RestWhileUnwatched()) {
        return;
    }
    if (m_nEffectRunning == 0) {
        return;
    }
    if (m_bLightingActive) {
        if (WaitWhileSettled()) {
            return;
        }
        const uint64_t settle = m_visualizer.SettledPicture();
        timer_platform::BeginResolution(1);
        RenderFrame();
        timer_platform::EndResolution(1);
        m_nRenderedSettle = settle;
    } else {
        const int32_t level = std::min<int32_t>(m_visualizer.Level(), kAmplitudeCap);
        m_nAmplitudeReading = level;
        char line[32];
        std::snprintf(line, sizeof line, "music: %d \n", level);
        DebugOutput(line);
    }
}

bool CKolvexDlg::Unwatched(uint64_t now) const
{
    return now - std::max<uint64_t>(m_lastRequestTick, m_createdTick) >= kRestAfterMs;
}

// Only the worker rests: a tick run by hand (tests) never waits.
bool CKolvexDlg::RestWhileUnwatched()
{
    if (!IsWorkerRunning() || !Unwatched(TickCount64())) {
        return false;
    }
    bool fallingAsleep = false;
    {
        // A request stores its tick before it calls WakeUp, which takes this
        // lock: either it is seen here, or its wake-up comes after the rest.
        std::lock_guard lock(m_restMutex);
        if (!Unwatched(TickCount64())) {
            return false;
        }
        // Still resting after a queued command ran: only the wait again.
        fallingAsleep = !m_bResting;
        if (fallingAsleep) {
            m_bResting = true;
            m_visualizer.Rest();
            m_screenLight.SetResting(true);
        }
    }
    if (fallingAsleep) {
        LogDebug("resting: no request for 2 s; capture, analysis and screen sampling paused");
    }
    m_commands.WaitForCommandOr([this] { return !m_bResting || m_bStopping; });
    return true;
}

// Screen mode reads the screen, not the picture. Only the worker waits.
bool CKolvexDlg::WaitWhileSettled()
{
    const uint64_t settle = m_visualizer.SettledPicture();
    if (!IsWorkerRunning() || settle == 0 || settle != m_nRenderedSettle || m_effect.mode == kScreenMode) {
        return false;
    }
    // Woken for the rest when it is due, so that it still comes.
    const uint64_t now = TickCount64();
    const uint64_t restAt = std::max<uint64_t>(m_lastRequestTick, m_createdTick) + kRestAfterMs;
    const auto limit = std::chrono::milliseconds(restAt > now ? restAt - now : 0);
    m_commands.WaitForCommandOr(
        [&] {
            return m_visualizer.SettledPicture() != settle || !m_bLightingActive || m_bStopping ||
                   m_effect.mode == kScreenMode;
        },
        limit);
    return true;
}

void CKolvexDlg::WakeUp()
{
    {
        std::lock_guard lock(m_restMutex);
        if (!m_bResting) {
            return;
        }
        m_visualizer.Wake();
        m_screenLight.SetResting(false);
        m_bResting = false;
    }
    m_commands.Notify();
    LogDebug("waking: a request came; capture, analysis and screen sampling resumed");
}

void CKolvexDlg::StartAnalysis()
{
    m_visualizer.InitVisualizer(m_openCapture ? m_openCapture() : nullptr);
    m_visualizer.OnSettledPictureEnds([this] { m_commands.Notify(); });
    m_visualizer.StartThread();

    m_effect = kStartupEffect;
    PushEffectToVisualizer(m_effect, m_visualizer);
    m_keyGrid.ComputeSampleCoordinates();
    m_screenLight.SetEnabled(m_effect.mode == kScreenMode);

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
    DlgFrameOutput output(*this, m_keyboard, m_layout);
    m_renderer.RenderFrame({m_keyGrid, m_effect, m_visualizer, m_screenLight},
                           {TickCount64(), m_lastRequestTick, m_activeReportFamily}, output);
}

ApiTargets CKolvexDlg::Api()
{
    return {Layout(),          m_keyGrid,           m_effect,           m_visualizer,
            m_screenLight,     m_nEffectRunning,    m_bLightingActive,  m_nAmplitudeReading,
            m_lastRequestTick, [this] { return BuildHardwareJson(); },
            [this] { return Status(); },
            SleepMs,           [this] { WakeUp(); },
            [this] { m_commands.Notify(); }};
}

DaemonStatus CKolvexDlg::Status()
{
    const RecordingState source = m_visualizer.Recorded();
    const bool resting = m_bResting;
    return {m_keyboard.State(),
            UsbIdOrDefault(m_layout.m_nVendorId, LayoutIdentity::kDefaultVendorId),
            UsbIdOrDefault(m_layout.m_nProductId, LayoutIdentity::kDefaultProductId),
            source.connected,
            source.description,
            !resting && m_visualizer.HeardSoundWithin(TickCount64(), kSoundHeardWithinMs),
            resting};
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
    m_nApiPort = net::LocalPort(listener.Get());
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
