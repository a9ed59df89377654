// Screen sampling through the desktop's ScreenCast portal: the portal's
// conversation, then its PipeWire stream, both driven by the sampler's passes
// (every 33 ms while screen mode is on), so the portal path adds no thread
// of ours (the PipeWire library keeps its data thread). The keys are black
// until the first frame.
//
// A user who declines is not asked again by this sampler; switching screen
// mode on again makes a new one, which asks. Any other failure (no portal, an
// error, a closed session, a stream that breaks) is tried again after 2 s,
// then less often up to once a minute, with the stored restore token, so a
// desktop that restores the session does so without asking.
//
// Threads: the sampler thread alone; no lock.
#include <chrono>
#include <memory>
#include <string>

#include "base/log.h"
#include "screen/screen_samplers_linux.h"
#include "screen/screen_source.h"
#include "screen/screen_stream.h"
#include "screen/screencast_portal.h"

namespace {

using Clock = std::chrono::steady_clock;

class PortalScreenSampler final : public ScreenSampler {
public:
    Result Sample(ScreenGrid& grid, int columns, int rows) override;
    void Rest() override;

private:
    enum class Phase { Waiting, Asking, Streaming, Declined };

    Result Ask();
    Result Stream(ScreenGrid& grid, int columns, int rows);
    // Drops the session and its stream (the reason is a copy: it may be
    // theirs) and waits before the next attempt.
    Result Retry(std::string why);

    Phase m_phase = Phase::Waiting;
    std::unique_ptr<ScreenCastPortal> m_portal;
    std::unique_ptr<ScreenStream> m_stream;
    RetrySchedule m_retries;
    Clock::time_point m_nextAttempt{};
    bool m_bFailing = false;  // a failure was logged and nothing has worked since
    bool m_bShowing = false;  // the stream's first frame was logged (a rest and wake-up log it once more only after a failure)
};

ScreenSampler::Result PortalScreenSampler::Sample(ScreenGrid& grid, int columns, int rows)
{
    switch (m_phase) {
    case Phase::Waiting:
        if (Clock::now() < m_nextAttempt) {
            return Result::NoScreen;
        }
        m_portal = std::make_unique<ScreenCastPortal>();
        m_phase = Phase::Asking;
        return Ask();
    case Phase::Asking:
        return Ask();
    case Phase::Streaming:
        return Stream(grid, columns, rows);
    case Phase::Declined:
        break;
    }
    return Result::NoScreen;
}

void PortalScreenSampler::Rest()
{
    if (m_phase != Phase::Asking && m_phase != Phase::Streaming) {
        return;
    }
    // The stored token lets the next pass restore the session without asking.
    m_stream.reset();
    m_portal.reset();
    m_nextAttempt = {};
    m_phase = Phase::Waiting;
}

ScreenSampler::Result PortalScreenSampler::Ask()
{
    m_portal->Process();
    switch (m_portal->GetState()) {
    case ScreenCastPortal::State::Asking:
        return Result::NoScreen;
    case ScreenCastPortal::State::Declined:
        LogWarning("screen colours: screen sharing was declined; screen mode shows black keys until it is "
                   "switched on again");
        m_portal.reset();
        m_phase = Phase::Declined;
        return Result::NoScreen;
    case ScreenCastPortal::State::Failed:
        return Retry(m_portal->Failure());
    case ScreenCastPortal::State::Granted:
        break;
    }
    m_stream = std::make_unique<ScreenStream>(m_portal->TakeRemote(), m_portal->Node());
    m_phase = Phase::Streaming;
    // Black until the first frame.
    return Result::NoScreen;
}

ScreenSampler::Result PortalScreenSampler::Stream(ScreenGrid& grid, int columns, int rows)
{
    m_portal->Process();
    if (m_portal->GetState() == ScreenCastPortal::State::Failed) {
        return Retry(m_portal->Failure());
    }
    switch (m_stream->Process(grid, columns, rows)) {
    case ScreenStream::Status::Broken:
        return Retry(m_stream->Failure());
    case ScreenStream::Status::Waiting:
        // A screen that does not change sends nothing; the colours stay.
        return Result::Failed;
    case ScreenStream::Status::Frame:
        break;
    }
    if (!m_bShowing) {
        LogInfo("screen colours: showing the portal's screen stream (" + m_stream->Format() + ")");
        m_bShowing = true;
        m_bFailing = false;
        m_retries.Reset();
    }
    return Result::Sampled;
}

ScreenSampler::Result PortalScreenSampler::Retry(std::string why)
{
    m_stream.reset();
    m_portal.reset();
    m_bShowing = false;
    const std::chrono::seconds wait = m_retries.Next();
    if (!m_bFailing) {
        LogWarning("screen colours: " + why + "; screen mode shows black keys, and the portal is asked again in " +
                   std::to_string(wait.count()) + " s, then less often");
        m_bFailing = true;
    }
    m_nextAttempt = Clock::now() + wait;
    m_phase = Phase::Waiting;
    return Result::NoScreen;
}

}  // namespace

std::unique_ptr<ScreenSampler> OpenPortalScreenSampler()
{
    return std::make_unique<PortalScreenSampler>();
}
