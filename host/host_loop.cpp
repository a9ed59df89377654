#include "host_loop.h"

#include <string>
#include <utility>

#include "base/log.h"

namespace {

std::string PortsText(uint16_t wanted)
{
    return wanted != 0 ? "port " + std::to_string(wanted) : "ports 9191-9199";
}

}  // namespace

HostLoop::HostLoop(DaemonApi& api, const StopSignal& stop, HostChoices& choices, const PauseState& pause,
                   uint16_t wantedPort, FrameSink frames)
    : m_api(api),
      m_stop(stop),
      m_choices(choices),
      m_pause(pause),
      m_wakesSeen(pause.Wakes()),
      m_wantedPort(wantedPort),
      m_frames(std::move(frames))
{
    TakeChoices();
}

void HostLoop::TakeChoices()
{
    const Choices choices = m_choices.Current(&m_choicesVersion);
    if (choices.layoutJson != m_layoutJson) {
        m_layoutJson = choices.layoutJson;
        m_needLayout = true;
    }
    m_layoutName = choices.layoutName;
    if (!(choices.listen == m_listen) || !(choices.delay == m_delay)) {
        m_listen = choices.listen;
        m_delay = choices.delay;
        m_needSource = true;
    }
    const EffectSettings& effect = choices.effect;
    if (effect.mode != m_effect.mode || effect.sensitivity != m_effect.sensitivity ||
        effect.background != m_effect.background || effect.brightness != m_effect.brightness) {
        m_effect = effect;
        m_needEffect = true;
    }
}

bool HostLoop::TryPostedLayout()
{
    const std::optional<std::string> trial = m_choices.TakeTrial();
    if (!trial) {
        return true;
    }
    const DaemonApi::UploadResult upload = m_api.UploadLayout(m_port, *trial);
    if (upload.outcome == DaemonApi::Upload::NoReply) {
        m_choices.Answer({HostChoices::Verdict::NoDaemon, {}});
        Lose();
        return false;
    }
    if (upload.outcome == DaemonApi::Upload::Rejected) {
        LogWarning("the daemon rejected an uploaded layout: " + upload.error + "; " + m_layoutName + " goes up again");
        m_choices.Answer({HostChoices::Verdict::Rejected, upload.error});
        m_needLayout = true;
        return true;
    }
    // The daemon has it now; when the settings API keeps it, the next change
    // of the choices finds it already there.
    m_layoutJson = *trial;
    m_needLayout = false;
    m_needEffect = true;
    m_needSource = true;
    m_choices.Answer({HostChoices::Verdict::Accepted, {}});
    return true;
}

HostLoop::Outcome HostLoop::Run()
{
    while (!m_stop.Requested()) {
        if (m_pause.Paused()) {
            WaitWhilePaused();
            continue;
        }
        if (const uint64_t wakes = m_pause.Wakes(); wakes != m_wakesSeen) {
            // The keyboard was off, and the daemon may have been restarted:
            // what it shows now is not known to be ours.
            m_wakesSeen = wakes;
            m_needLayout = true;
        }
        if (m_port == 0 && !Connect()) {
            m_stop.WaitFor(kSearchPeriodMs);
            continue;
        }
        if (m_choices.Version() != m_choicesVersion) {
            TakeChoices();
        }
        if (!TryPostedLayout()) {
            continue;
        }
        if (m_layoutJson.empty()) {
            // Nothing to light until the console's first step has chosen a
            // layout; the daemon rests meanwhile. The choice cuts this short.
            m_choices.WaitForNews(m_choicesVersion, kSearchPeriodMs);
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
                m_choices.SetDaemonPort(0);
                return Outcome::LayoutRejected;
            }
            LogInfo("the daemon accepted the layout " + m_layoutName);
            m_needLayout = false;
            m_needEffect = true;
            // A daemon that needs the layout again has started afresh, and
            // keeps no choice of its own.
            m_needSource = true;
        }
        if (m_needSource && !SendSource()) {
            continue;
        }
        const std::optional<std::string> body = m_api.Effect(m_port, m_needEffect ? &m_effect : nullptr);
        if (!body) {
            Lose();
            continue;
        }
        // Most polls only compare the keys' places, which needs no parse of
        // the whole reply: the text of the key array without its colours
        // tells the same, at a fraction of the cost.
        const bool placesKnown = !m_needEffect && KeyPlacesText(*body, m_places) && !m_expectedPlaces.empty();
        const bool samePlaces = placesKnown && m_places == m_expectedPlaces;
        EffectState state;
        if (!samePlaces || m_frames) {
            state = ParseEffectReply(*body);
        }
        if (m_needEffect) {
            // A daemon just started sets its own start-up effect on one of its
            // first ticks, which may land after ours: then ours goes again.
            m_needEffect = state.isEffect && state.mode != m_effect.mode;
            m_expected = state;
            KeyPlacesText(*body, m_expectedPlaces);
            if (!m_needEffect) {
                LogInfo("lighting on: mode " + std::to_string(m_effect.mode) + ", " +
                        std::to_string(state.keys.size()) + " keys reported");
            }
        } else if (!samePlaces && !SameLayout(state, m_expected)) {
            LogLimited(LogLevel::Warning, "host-layout-changed",
                       "the daemon reports other keys (it restarted, or another front-end uploaded a layout); "
                       "uploading " + m_layoutName + " again");
            m_needLayout = true;
            continue;
        } else if (!samePlaces && placesKnown) {
            // The same keys written otherwise: compare with this text from now on.
            m_expectedPlaces = m_places;
        }
        if (m_frames) {
            m_frames(m_port, state);
        }
        // A change or a layout to try cuts the pause short; a stop is seen
        // after it, within one poll.
        m_choices.WaitForNews(m_choicesVersion, m_frames ? kPreviewPeriodMs : kKeepAlivePeriodMs);
    }
    m_choices.SetDaemonPort(0);
    return Outcome::Stopped;
}

void HostLoop::WaitWhilePaused()
{
    if (m_choices.Version() != m_choicesVersion) {
        TakeChoices();
    }
    if (m_port != 0 && !TryPostedLayout()) {
        return;
    }
    // The same period as a keep-alive poll, so a resume or a stop is seen as soon.
    m_choices.WaitForNews(m_choicesVersion, kKeepAlivePeriodMs);
}

// A refusal is not retried: the same daemon would refuse the same choice
// again. It goes up again with the next layout, or the next change.
bool HostLoop::SendSource()
{
    const DaemonApi::ChoiceResult result = m_api.ChooseSource(m_port, m_listen, m_delay);
    if (result.outcome == DaemonApi::Choice::NoReply) {
        Lose();
        return false;
    }
    m_needSource = false;
    const std::string what = m_listen.Id() + " (delay " + m_delay.Text() + ")";
    if (result.outcome == DaemonApi::Choice::Refused) {
        LogWarning("the daemon refused to listen to " + what + ": " + result.error);
    } else if (what != m_toldSource) {
        LogInfo("the daemon listens to " + what);
    }
    m_toldSource = result.outcome == DaemonApi::Choice::Accepted ? what : std::string();
    return true;
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
    m_choices.SetDaemonPort(m_port);
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
    m_choices.SetDaemonPort(0);
    m_saidMissing = true;
    m_needLayout = true;
}
