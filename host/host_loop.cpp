#include "host_loop.h"

#include <utility>

#include "base/log.h"

namespace {

std::string PortsText(uint16_t wanted)
{
    return wanted != 0 ? "port " + std::to_string(wanted) : "ports 9191-9199";
}

}  // namespace

HostLoop::HostLoop(DaemonApi& api, const StopSignal& stop, const HostSettings& settings, std::string layoutJson,
                   std::string layoutName, FrameSink frames)
    : m_api(api),
      m_stop(stop),
      m_effect(settings.effect),
      m_wantedPort(settings.port),
      m_layoutJson(std::move(layoutJson)),
      m_layoutName(std::move(layoutName)),
      m_frames(std::move(frames))
{
}

HostLoop::Outcome HostLoop::Run()
{
    while (!m_stop.Requested()) {
        if (m_port == 0 && !Connect()) {
            m_stop.WaitFor(kSearchPeriodMs);
            continue;
        }
        if (m_needLayout) {
            const DaemonApi::UploadResult upload = m_api.UploadLayout(m_port, m_layoutJson);
            if (upload.outcome == DaemonApi::Upload::NoReply) {
                Lose();
                continue;
            }
            if (upload.outcome == DaemonApi::Upload::Rejected) {
                LogError("the daemon rejected the layout " + m_layoutName + ": " + upload.error);
                return Outcome::LayoutRejected;
            }
            LogInfo("the daemon accepted the layout " + m_layoutName);
            m_needLayout = false;
            m_needEffect = true;
        }
        const std::optional<std::string> body = m_api.Effect(m_port, m_needEffect ? &m_effect : nullptr);
        if (!body) {
            Lose();
            continue;
        }
        EffectState state = ParseEffectReply(*body);
        if (m_needEffect) {
            // A daemon just started sets its own start-up effect on one of its
            // first ticks, which may land after ours: then ours goes again.
            m_needEffect = state.isEffect && state.mode != m_effect.mode;
            m_expected = state;
            if (!m_needEffect) {
                LogInfo("lighting on: mode " + std::to_string(m_effect.mode) + ", " +
                        std::to_string(state.keys.size()) + " keys reported");
            }
        } else if (!SameLayout(state, m_expected)) {
            LogLimited(LogLevel::Warning, "host-layout-changed",
                       "the daemon reports other keys (it restarted, or another front-end uploaded a layout); "
                       "uploading " + m_layoutName + " again");
            m_needLayout = true;
            continue;
        }
        if (m_frames) {
            m_frames(m_port, state);
        }
        m_stop.WaitFor(kPollPeriodMs);
    }
    return Outcome::Stopped;
}

bool HostLoop::Connect()
{
    const std::optional<uint16_t> port = m_api.Find(m_wantedPort);
    if (!port) {
        if (!m_saidMissing) {
            LogWarning("no daemon answers on " + PortsText(m_wantedPort) + "; looking again every second");
            m_saidMissing = true;
        }
        return false;
    }
    m_port = *port;
    LogInfo(std::string(m_everFound ? "found the daemon again" : "found the daemon") + " on port " +
            std::to_string(m_port));
    m_everFound = true;
    m_saidMissing = false;
    m_needLayout = true;
    return true;
}

void HostLoop::Lose()
{
    LogWarning("lost the daemon on port " + std::to_string(m_port) + "; looking for it every second");
    m_port = 0;
    m_saidMissing = true;
    m_needLayout = true;
}
