// Loopback capture through the PulseAudio client library (PipeWire serves the
// same protocol): records float32 stereo at the server's rate from the chosen
// source: the monitor of the default sink (reopened on the new monitor when
// the default changes), the monitor of one sink by name (while it is there),
// or each playback stream of one application (pa_stream_set_monitor_stream,
// one recording per stream, their sound summed). It reconnects when the
// server goes away and comes back, and holds the sound back by the chosen
// delay, or by the recorded sink's latency read from the running stream.
//
// The server's sinks and sink inputs are kept up to date from its events
// (PulseServerLists); each change, like each change of the default sink or of
// the choice, sets the recordings to what the choice wants now (Reconcile).
//
// All server traffic runs on one event loop of our own (PulseEventLoop),
// served by whichever thread is awake anyway. While the analysis drains every
// frame, Drain runs the loop without waiting on the frame thread, so the
// packets the server sends every few milliseconds cost no wake-up of their
// own. While nobody drains (paused, or no Drain for kHandBack), the backend's
// own thread runs it, blocking until the server or a timer has something.
// Only one thread runs the loop at a time: m_mutex guards the loop, the
// context, the stream, what Source reports, the log state and the flags
// below, and callbacks run with it held. The loop thread lets go of it only
// while it waits in poll, as the library's threaded loop does, so Drain,
// SetPaused and Source may use the stream then, and the loop wakes the poll
// for whatever they queue.
//
// While the analysis waits for sound (AwaitSound), the loop thread runs the
// loop and looks at each packet as it arrives, dropping the silent ones and
// leaving the first audible one for the next Drain. Meanwhile every
// recording is corked whenever no running player feeds what is recorded (the
// chosen application's streams, or the streams on the recorded sink, as the
// lists have them), so nothing wakes the capture while nothing plays; a
// player that starts uncorks them at once. The listener is called on
// the loop thread with m_mutex released.
//
// The log tells the state changes a user needs: connected (or no server yet),
// lost, reconnected, which sink or application is recorded, a chosen one
// missing, and the delay; never the retries in between.
#include <poll.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "audio/capture_backend.h"
#include "audio/pulse_event_loop_linux.h"
#include "audio/pulse_server_lists_linux.h"
#include "audio/sample_delay.h"
#include "audio/stream_mix.h"
#include "base/log.h"
#include "base/thread_name.h"

namespace {

// About one analysis frame, what the analysis takes at a time (a server may
// still send smaller packets more often; Drain takes them all at once).
//
// Under PipeWire the fragment becomes the stream's node.latency, and the
// graph runs at the smallest latency any of its nodes asks: 15 ms would make
// the whole graph (and every player) run at a smaller quantum than the
// players chose. There the fragment follows the running players instead:
// never below the smallest node.latency they asked for (pipewire-pulse lists
// it among each sink input's properties), so recording costs the graph no
// extra cycle; PulseAudio lists none, and keeps the 15 ms.
constexpr pa_usec_t kFragmentUsec = 15 * PA_USEC_PER_MSEC;
// The most the stream keeps while nobody drains it (the frame loop idles
// while inactive); older audio is of no use to the picture.
constexpr pa_usec_t kMaxBufferedUsec = 500 * PA_USEC_PER_MSEC;
constexpr pa_usec_t kRetryUsec = PA_USEC_PER_SEC;
// How long after the last Drain the loop thread takes the loop back. Longer
// than the analysis' inactive spell after an effect request (150 ms), so a
// host polling effects does not hand the loop to and fro; short enough that a
// default-sink change or a lost server is seen well within a second.
constexpr auto kHandBack = std::chrono::milliseconds(250);
// Each loop pass in Drain handles what is ready; a cap keeps a server that
// floods the socket from holding the frame thread.
constexpr int kMaxDrainPasses = 64;
constexpr auto kLoopErrorPause = std::chrono::milliseconds(100);
// How often the recorded sink's latency is read while "auto" records. A
// change smaller than the step is the report's own wobble, not a new delay.
constexpr pa_usec_t kLatencyReadUsec = PA_USEC_PER_SEC;
// A stream just opened or resumed, or "auto" just chosen, is read this soon:
// the delay the last stream had may not fit it.
constexpr pa_usec_t kFirstLatencyReadUsec = 250 * PA_USEC_PER_MSEC;
constexpr int kDelayStepMs = 5;
constexpr uint32_t kChannels = 2;

// One stream of ours on the server: a sink's monitor, or one application
// stream through that monitor.
struct Recording {
    pa_stream* stream = nullptr;
    std::string sinkName;                   ///< the sink whose monitor it records
    uint32_t sinkInput = PA_INVALID_INDEX;  ///< the application stream it follows, or none
    pa_usec_t fragmentUsec = kFragmentUsec;  ///< what it asks, following its players
};

// The running players a recording hears, and the smallest node.latency among
// them (0 for none).
struct Players {
    bool running = false;
    pa_usec_t latencyUsec = 0;
};

// What the choice wants recorded: a sink's monitor, or one application stream on it.
struct WantedRecording {
    std::string sinkName;
    std::string monitorSource;
    uint32_t sinkInput = PA_INVALID_INDEX;

    bool Is(const Recording& recording) const
    {
        return recording.sinkName == sinkName && recording.sinkInput == sinkInput;
    }
};

class PulseLoopbackCapture final : public CaptureBackend, public CaptureSourceChoice {
public:
    PulseLoopbackCapture();
    ~PulseLoopbackCapture() override;
    PulseLoopbackCapture(const PulseLoopbackCapture&) = delete;
    PulseLoopbackCapture& operator=(const PulseLoopbackCapture&) = delete;

    bool Drain(CapturePacketSink& sink) override;
    void SetPaused(bool paused) override;
    RecordingState Recorded() override;
    CaptureSourceChoice* SourceChoice() override { return this; }

    SourceListing ListSources() override;
    std::optional<std::string> ChooseSource(const CaptureSource& source) override;
    void ChooseDelay(const CaptureDelay& delay) override;
    CaptureSource Source() override;
    CaptureDelay Delay() override;
    int DelayMs() override;
    bool AwaitSound(SoundListener& listener) override;
    void StopAwaitingSound() override;

private:
    static void OnContextState(pa_context* context, void* self);
    static void OnServerEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void OnServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void OnStreamState(pa_stream* stream, void* self);
    static void OnReadable(pa_stream* stream, size_t bytes, void* self);
    static void OnRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);
    static void OnLatencyTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);
    static void OnTimingInfo(pa_stream* stream, int success, void* self);
    static int PollReleasingLock(struct pollfd* fds, unsigned long count, int timeoutMs, void* self);

    void LoopThread();
    bool FrameThreadServes() const;

    void Connect();
    void ConnectionFailed();
    void DropContext();
    void DropStreams();
    void DropRecording(size_t i);
    void QueryServer();
    void Reconcile();
    std::vector<WantedRecording> WantedRecordings();
    void OpenRecording(const WantedRecording& wanted);
    void RecordingStarted(const Recording& recording);
    void ScheduleRetry();
    void ScheduleLatencyRead(pa_usec_t after = kLatencyReadUsec);
    void ApplyDelay(int ms);
    bool Ready(const Recording& recording) const;
    // Corks or uncorks every recording as the pause and the players want it.
    void UpdateCork();
    bool WantCorked() const { return m_bPaused || (m_awaiting != nullptr && !m_bPlayers); }
    // What the players of the recording of that sink (or that application
    // stream) are now, from the lists.
    Players PlayersOf(const std::string& sinkName, uint32_t sinkInput) const;
    // Counts the players again after a change of the lists or the recordings,
    // and lets each recording's fragment follow its players' latency.
    void FollowPlayers();
    void FollowPlayersLatency(Recording& recording, pa_usec_t playersUsec);
    // Drops the silent packets waiting in the recordings; at an audible one,
    // keeps it and ends the await.
    void ScanForSound();

    std::unique_ptr<PulseEventLoop> m_loop;
    pa_mainloop_api* m_api = nullptr;
    pa_context* m_context = nullptr;
    std::vector<Recording> m_recordings;
    pa_time_event* m_retry = nullptr;
    pa_time_event* m_latencyTimer = nullptr;
    PulseServerLists m_lists{[this] { Reconcile(); }};
    std::string m_defaultSink;  // as the server info last said
    uint32_t m_rate = 0;        // the server's, which every recording uses
    bool m_bPaused = false;     // the streams are corked, and a new one opens corked
    CaptureSource m_source;
    CaptureDelay m_delayChoice;
    int m_delayMs = 0;          // the delay applied now
    SampleDelay m_delay;
    StreamMix m_mix;
    SoundListener* m_awaiting = nullptr;  // while the analysis waits for sound
    SoundListener* m_heardBy = nullptr;   // to be told by the loop thread that sound came
    bool m_bPlayers = true;               // a running player feeds what is recorded (or it is not known yet)

    std::mutex m_mutex;
    std::condition_variable m_loopWanted;  // paused, stopping, or Drain went quiet
    std::thread m_loopThread;
    bool m_bStopping = false;
    bool m_bLoopThreadRuns = false;  // the loop thread is inside an iteration
    std::chrono::steady_clock::time_point m_lastDrain;

    // What the log has told so far.
    bool m_bConnected = false;       // a connection is ready
    bool m_bEverConnected = false;   // the next connection is a reconnection
    bool m_bAnnounce = false;        // the connection is to be logged with the server's name
    bool m_bToldNoServer = false;    // "no sound server" was said before the first connection
    bool m_bToldNoSink = false;
    bool m_bToldMissing = false;     // the chosen output or application was said to be missing
    std::string m_recordedSink;      // the sink last logged as recorded
    std::string m_delayReason;       // what the delay was last logged as matching
};

// Without its main loop thread there is no capture; the daemon goes on with
// a silent picture.
PulseLoopbackCapture::PulseLoopbackCapture()
{
    m_loop = std::make_unique<PulseEventLoop>(&PollReleasingLock, this);
    if (!m_loop->Ready()) {
        LogError("cannot start the audio capture thread; going on without it");
        m_loop.reset();
        return;
    }
    m_api = m_loop->Api();
    Connect();
    try {
        m_loopThread = std::thread(&PulseLoopbackCapture::LoopThread, this);
    } catch (const std::system_error&) {
        LogError("cannot start the audio capture thread; going on without it");
        DropStreams();
        DropContext();
        if (m_retry != nullptr) {
            m_api->time_free(m_retry);
        }
        m_loop.reset();
    }
}

PulseLoopbackCapture::~PulseLoopbackCapture()
{
    if (m_loop == nullptr) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_bStopping = true;
    }
    m_loopWanted.notify_all();
    m_loop->Wakeup();
    m_loopThread.join();
    DropStreams();
    DropContext();
    if (m_retry != nullptr) {
        m_api->time_free(m_retry);
    }
    m_loop.reset();
}

bool PulseLoopbackCapture::FrameThreadServes() const
{
    return !m_bPaused && m_awaiting == nullptr && std::chrono::steady_clock::now() - m_lastDrain < kHandBack;
}

// Runs the loop while nobody drains; otherwise sleeps until Drain may have
// gone quiet, or the stream is paused.
void PulseLoopbackCapture::LoopThread()
{
    NameCurrentThread("tonvik-capture");
    std::unique_lock lock(m_mutex);
    while (!m_bStopping) {
        if (SoundListener* heard = std::exchange(m_heardBy, nullptr)) {
            lock.unlock();
            heard->OnSoundReturns();
            lock.lock();
            continue;
        }
        if (FrameThreadServes()) {
            m_loopWanted.wait_until(lock, m_lastDrain + kHandBack);
            continue;
        }
        m_bLoopThreadRuns = true;
        const int dispatched = m_loop->Iterate(true);
        m_bLoopThreadRuns = false;
        if (dispatched < 0) {
            // A loop whose poll fails at once must not spin: the next pass
            // comes after a pause, or at once when stopping.
            m_loopWanted.wait_for(lock, kLoopErrorPause);
        }
    }
}

// The loop thread waits for the server without the lock, so Drain and
// SetPaused are not held up by it; on the frame thread the poll does not wait
// and the lock stays held.
int PulseLoopbackCapture::PollReleasingLock(struct pollfd* fds, unsigned long count, int timeoutMs, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    if (!capture->m_bLoopThreadRuns) {
        return poll(fds, count, timeoutMs);
    }
    capture->m_mutex.unlock();
    const int ready = poll(fds, count, timeoutMs);
    capture->m_mutex.lock();
    return ready;
}

bool PulseLoopbackCapture::Drain(CapturePacketSink& sink)
{
    if (m_loop == nullptr) {
        return false;
    }
    std::lock_guard lock(m_mutex);
    m_lastDrain = std::chrono::steady_clock::now();
    if (m_bLoopThreadRuns) {
        // It finishes its pass once this returns, then leaves the loop to us.
        m_loop->Wakeup();
    } else {
        int pass = 0;
        while (pass < kMaxDrainPasses && m_loop->Iterate(false) > 0) {
            ++pass;
        }
    }
    const auto ready = std::count_if(m_recordings.begin(), m_recordings.end(),
                                     [this](const Recording& recording) { return Ready(recording); });
    // One recording goes straight to the delay; several are summed first.
    for (const Recording& recording : m_recordings) {
        if (!Ready(recording)) {
            continue;
        }
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(recording.stream, &data, &bytes) == 0 && bytes > 0) {
            // A hole (no data for a stretch of the stream) is skipped.
            if (data != nullptr) {
                const auto* floats = static_cast<const float*>(data);
                const size_t count = bytes / sizeof(float);
                if (ready == 1) {
                    m_delay.Pass(floats, count, static_cast<uint32_t>(count / kChannels), sink);
                } else {
                    m_mix.Add(floats, count);
                }
            }
            pa_stream_drop(recording.stream);
        }
        m_mix.EndStream();
    }
    if (ready > 1) {
        m_mix.Flush(kChannels, [&](const float* data, size_t floats) {
            m_delay.Pass(data, floats, static_cast<uint32_t>(floats / kChannels), sink);
        });
    }
    return ready > 0;
}

bool PulseLoopbackCapture::Ready(const Recording& recording) const
{
    return pa_stream_get_state(recording.stream) == PA_STREAM_READY;
}

// Corking keeps the stream and its place on the sink: uncorking is one
// message to the server, with no new stream to negotiate. The message goes
// out on the next loop pass: the loop thread's, woken by the library, or the
// next Drain's. Pausing hands the loop to the loop thread at once.
void PulseLoopbackCapture::SetPaused(bool paused)
{
    if (m_loop == nullptr) {
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_bPaused = paused;
        UpdateCork();
        // What was held before the pause would come out after it, out of place.
        m_delay.Clear();
        if (!paused) {
            ScheduleLatencyRead(kFirstLatencyReadUsec);
        }
    }
    m_loopWanted.notify_all();
    m_loop->Wakeup();
}

// Without a loop nothing will ever be heard: the wait is for good. While the
// delay still holds sound the analysis has not heard, the picture has not
// settled: it goes on draining until that sound has come out.
bool PulseLoopbackCapture::AwaitSound(SoundListener& listener)
{
    if (m_loop == nullptr) {
        return true;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_delay.HoldsSound(listener)) {
            return false;
        }
        m_awaiting = &listener;
        m_heardBy = nullptr;
        // The lists follow the players by subscription, so they are counted
        // from them at once; a refresh under way counts them again.
        FollowPlayers();
        ScanForSound();
    }
    m_loopWanted.notify_all();
    m_loop->Wakeup();
    return true;
}

void PulseLoopbackCapture::StopAwaitingSound()
{
    if (m_loop == nullptr) {
        return;
    }
    std::lock_guard lock(m_mutex);
    if (m_awaiting == nullptr && m_heardBy == nullptr) {
        return;
    }
    m_awaiting = nullptr;
    m_heardBy = nullptr;
    // The frame thread drains from now on; the loop thread leaves it the loop.
    m_lastDrain = std::chrono::steady_clock::now();
    UpdateCork();
}

// A recording corked while nothing played comes back with a gap in its
// timeline: what the delay held from before it is dropped, as after a pause.
void PulseLoopbackCapture::UpdateCork()
{
    const bool corked = WantCorked();
    bool uncorked = false;
    for (const Recording& recording : m_recordings) {
        if (!Ready(recording) || (pa_stream_is_corked(recording.stream) == 1) == corked) {
            continue;
        }
        if (pa_operation* op = pa_stream_cork(recording.stream, corked ? 1 : 0, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        uncorked = uncorked || !corked;
    }
    if (uncorked) {
        m_delay.Clear();
    }
}

// A player counts while it is uncorked: the application stream the recording
// follows, else any stream on the recorded sink (on any sink while that sink
// is not in the lists yet).
Players PulseLoopbackCapture::PlayersOf(const std::string& sinkName, uint32_t sinkInput) const
{
    const PulseSink* sink = m_lists.SinkNamed(sinkName);
    Players players;
    for (const PulseSinkInput& input : m_lists.Inputs()) {
        const bool feeds = sinkInput != PA_INVALID_INDEX ? input.index == sinkInput
                                                         : sink == nullptr || input.sink == sink->index;
        if (!feeds || input.corked) {
            continue;
        }
        players.running = true;
        if (input.latencyUsec > 0 && (players.latencyUsec == 0 || input.latencyUsec < players.latencyUsec)) {
            players.latencyUsec = input.latencyUsec;
        }
    }
    return players;
}

// With nothing recorded there is nothing to cork, so the players count as
// running: a recording that opens meanwhile starts uncorked.
void PulseLoopbackCapture::FollowPlayers()
{
    bool running = m_recordings.empty();
    for (Recording& recording : m_recordings) {
        const Players players = PlayersOf(recording.sinkName, recording.sinkInput);
        running = running || players.running;
        FollowPlayersLatency(recording, players.latencyUsec);
    }
    m_bPlayers = running;
    UpdateCork();
}

// With no player running the fragment stays as it is: the next player most
// likely asks what the last one did, and nothing else runs the graph meanwhile.
void PulseLoopbackCapture::FollowPlayersLatency(Recording& recording, pa_usec_t playersUsec)
{
    const pa_usec_t wanted = std::max(kFragmentUsec, playersUsec);
    if (playersUsec == 0 || wanted == recording.fragmentUsec) {
        return;
    }
    recording.fragmentUsec = wanted;
    if (!Ready(recording)) {
        return;  // it opens with the new fragment
    }
    pa_buffer_attr attr = *pa_stream_get_buffer_attr(recording.stream);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(wanted, pa_stream_get_sample_spec(recording.stream)));
    if (pa_operation* op = pa_stream_set_buffer_attr(recording.stream, &attr, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

void PulseLoopbackCapture::OnReadable(pa_stream*, size_t, void* self)
{
    static_cast<PulseLoopbackCapture*>(self)->ScanForSound();
}

void PulseLoopbackCapture::ScanForSound()
{
    if (m_awaiting == nullptr) {
        return;
    }
    for (const Recording& recording : m_recordings) {
        if (!Ready(recording)) {
            continue;
        }
        const size_t frameBytes = pa_frame_size(pa_stream_get_sample_spec(recording.stream));
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(recording.stream, &data, &bytes) == 0 && bytes > 0) {
            if (data != nullptr && m_awaiting->Audible(static_cast<const float*>(data), bytes / sizeof(float),
                                                       static_cast<uint32_t>(bytes / frameBytes))) {
                m_heardBy = std::exchange(m_awaiting, nullptr);
                UpdateCork();
                if (m_bLoopThreadRuns) {
                    m_loop->Wakeup();
                }
                return;
            }
            pa_stream_drop(recording.stream);
        }
    }
}

// Never autospawn a server: with none running, the daemon runs on silently
// and tries again every second.
void PulseLoopbackCapture::Connect()
{
    // Without shared memory the sound arrives inside the socket messages. With
    // it, every block handed back is a message that wakes the server, which
    // runs at a higher priority and so also preempts the frame thread: about
    // 100 server wake-ups and 70 preemptions a second while sound plays,
    // where copying a few kilobytes a frame costs only a little more CPU.
    pa_proplist* properties = pa_proplist_new();
    pa_proplist_sets(properties, PA_PROP_CONTEXT_FORCE_DISABLE_SHM, "yes");
    m_context = pa_context_new_with_proplist(m_api, "Tonvik", properties);
    pa_proplist_free(properties);
    if (m_context == nullptr) {
        ScheduleRetry();
        return;
    }
    pa_context_set_state_callback(m_context, &OnContextState, this);
    pa_context_set_subscribe_callback(m_context, &OnServerEvent, this);
    if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
        ConnectionFailed();
    }
}

void PulseLoopbackCapture::ConnectionFailed()
{
    if (m_bConnected) {
        m_bConnected = false;
        LogLimited(LogLevel::Warning, "sound server lost", "lost the sound server; trying again every second");
    } else if (!m_bEverConnected && !m_bToldNoServer) {
        m_bToldNoServer = true;
        LogWarning(std::string("no sound server to record from (") + pa_strerror(pa_context_errno(m_context)) +
                   "); trying again every second");
    }
    ScheduleRetry();
}

void PulseLoopbackCapture::DropContext()
{
    if (m_context == nullptr) {
        return;
    }
    pa_context_set_state_callback(m_context, nullptr, nullptr);
    pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
    pa_context_disconnect(m_context);
    pa_context_unref(m_context);
    m_context = nullptr;
    m_lists.Reset();
}

void PulseLoopbackCapture::DropStreams()
{
    while (!m_recordings.empty()) {
        DropRecording(m_recordings.size() - 1);
    }
}

void PulseLoopbackCapture::DropRecording(size_t i)
{
    pa_stream* stream = m_recordings[i].stream;
    pa_stream_set_state_callback(stream, nullptr, nullptr);
    pa_stream_set_read_callback(stream, nullptr, nullptr);
    pa_stream_disconnect(stream);
    pa_stream_unref(stream);
    m_recordings.erase(m_recordings.begin() + static_cast<std::ptrdiff_t>(i));
    if (m_recordings.empty() && m_latencyTimer != nullptr) {
        m_api->time_free(m_latencyTimer);
        m_latencyTimer = nullptr;
    }
}

void PulseLoopbackCapture::ScheduleRetry()
{
    if (m_retry != nullptr) {
        return;
    }
    struct timeval when {};
    pa_timeval_add(pa_gettimeofday(&when), kRetryUsec);
    m_retry = m_api->time_new(m_api, &when, &OnRetry, this);
}

// A retry re-reads the server info when the connection stands, and
// reconnects when it does not.
void PulseLoopbackCapture::OnRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval*, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    api->time_free(event);
    capture->m_retry = nullptr;
    if (capture->m_context != nullptr && pa_context_get_state(capture->m_context) == PA_CONTEXT_READY) {
        capture->QueryServer();
        return;
    }
    capture->DropStreams();
    capture->DropContext();
    capture->Connect();
}

void PulseLoopbackCapture::OnContextState(pa_context* context, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY:
        capture->m_bConnected = true;
        capture->m_bAnnounce = true;
        if (pa_operation* op = pa_context_subscribe(
                context,
                static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK |
                                                    PA_SUBSCRIPTION_MASK_SINK_INPUT),
                nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        capture->QueryServer();
        capture->m_lists.Refresh(context);
        break;
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        capture->ConnectionFailed();
        break;
    default:
        break;
    }
}

// Server events carry the default-sink changes; the default source alone
// changing leaves the sink name as it is, so it reopens nothing. Sink and
// sink-input events (an output plugged in, an application starting to play,
// a player corking) read both lists again.
void PulseLoopbackCapture::OnServerEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t,
                                         void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    switch (type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) {
    case PA_SUBSCRIPTION_EVENT_SERVER:
        capture->QueryServer();
        break;
    case PA_SUBSCRIPTION_EVENT_SINK:
    case PA_SUBSCRIPTION_EVENT_SINK_INPUT:
        capture->m_lists.Refresh(context);
        break;
    default:
        break;
    }
}

void PulseLoopbackCapture::QueryServer()
{
    if (pa_operation* op = pa_context_get_server_info(m_context, &OnServerInfo, this)) {
        pa_operation_unref(op);
    }
}

void PulseLoopbackCapture::OnServerInfo(pa_context*, const pa_server_info* info, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    if (info == nullptr) {
        return;
    }
    if (capture->m_bAnnounce) {
        capture->m_bAnnounce = false;
        const std::string server = std::string(info->server_name != nullptr ? info->server_name : "unnamed") + " " +
                                   (info->server_version != nullptr ? info->server_version : "");
        if (capture->m_bEverConnected) {
            LogLimited(LogLevel::Info, "sound server back", "reconnected to the sound server (" + server + ")");
        } else {
            LogInfo("connected to the sound server (" + server + ")");
        }
        capture->m_bEverConnected = true;
    }
    capture->m_defaultSink = info->default_sink_name != nullptr ? info->default_sink_name : "";
    if (info->sample_spec.rate != capture->m_rate) {
        // Every recording opens at the new rate.
        capture->DropStreams();
        capture->m_rate = info->sample_spec.rate;
    }
    capture->Reconcile();
}

// The recordings become those the choice wants now: the ones no longer
// wanted close, the missing ones open; then the players are counted again.
void PulseLoopbackCapture::Reconcile()
{
    if (m_context == nullptr || pa_context_get_state(m_context) != PA_CONTEXT_READY || m_rate == 0) {
        return;
    }
    const std::vector<WantedRecording> wanted = WantedRecordings();
    for (size_t i = m_recordings.size(); i-- > 0;) {
        const Recording& recording = m_recordings[i];
        if (std::none_of(wanted.begin(), wanted.end(), [&](const WantedRecording& w) { return w.Is(recording); })) {
            DropRecording(i);
        }
    }
    for (const WantedRecording& w : wanted) {
        if (std::none_of(m_recordings.begin(), m_recordings.end(), [&](const Recording& r) { return w.Is(r); })) {
            OpenRecording(w);
        }
    }
    FollowPlayers();
}

// Also says, once, why nothing is wanted: no default sink, the chosen output
// unplugged, the chosen application silent. The default sink may not be in
// the lists yet (they come after the server info); its name alone serves.
std::vector<WantedRecording> PulseLoopbackCapture::WantedRecordings()
{
    std::vector<WantedRecording> wanted;
    std::string missing;
    switch (m_source.kind) {
    case CaptureSource::Kind::Default:
        if (m_defaultSink.empty()) {
            if (!m_bToldNoSink) {
                m_bToldNoSink = true;
                m_recordedSink.clear();
                LogWarning("the sound server has no default sink to record from");
            }
        } else {
            const PulseSink* sink = m_lists.SinkNamed(m_defaultSink);
            wanted.push_back({m_defaultSink, sink != nullptr ? sink->monitorSource : m_defaultSink + ".monitor"});
        }
        break;
    case CaptureSource::Kind::Output:
        if (const PulseSink* sink = m_lists.SinkNamed(m_source.name)) {
            wanted.push_back({sink->name, sink->monitorSource});
        } else {
            missing = "output " + m_source.name + " is not there; silence until it comes back";
        }
        break;
    case CaptureSource::Kind::App:
        for (const PulseSinkInput& input : m_lists.Inputs()) {
            if (input.application == m_source.name) {
                if (const PulseSink* sink = m_lists.SinkAt(input.sink)) {
                    wanted.push_back({sink->name, sink->monitorSource, input.index});
                }
            }
        }
        if (wanted.empty()) {
            missing = m_source.name + " plays nothing; silence until it does";
        }
        break;
    }
    if (missing.empty()) {
        m_bToldMissing = false;
    } else if (!m_bToldMissing) {
        m_bToldMissing = true;
        m_recordedSink.clear();
        LogInfo(missing);
    }
    return wanted;
}

void PulseLoopbackCapture::OpenRecording(const WantedRecording& wanted)
{
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = m_rate;
    spec.channels = kChannels;
    if (!pa_sample_spec_valid(&spec)) {
        return;
    }
    pa_stream* stream = pa_stream_new(m_context, "Loopback", &spec, nullptr);
    if (stream == nullptr) {
        return;
    }
    if (wanted.sinkInput != PA_INVALID_INDEX && pa_stream_set_monitor_stream(stream, wanted.sinkInput) < 0) {
        pa_stream_unref(stream);
        return;
    }
    const Players players = PlayersOf(wanted.sinkName, wanted.sinkInput);
    const pa_usec_t fragmentUsec = std::max(kFragmentUsec, players.latencyUsec);
    m_recordings.push_back({stream, wanted.sinkName, wanted.sinkInput, fragmentUsec});
    pa_stream_set_state_callback(stream, &OnStreamState, this);
    pa_stream_set_read_callback(stream, &OnReadable, this);

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(kMaxBufferedUsec, &spec));
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(m_recordings.back().fragmentUsec, &spec));
    // Not moved elsewhere (say, to a microphone) when the sink goes: the
    // stream fails instead and is reopened on the new default's monitor,
    // or left closed while a chosen output is away.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      (WantCorked() ? PA_STREAM_START_CORKED : 0));
    if (pa_stream_connect_record(stream, wanted.monitorSource.c_str(), &attr, flags) < 0) {
        DropRecording(m_recordings.size() - 1);
        ScheduleRetry();
    }
}

void PulseLoopbackCapture::OnStreamState(pa_stream* stream, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    const auto found = std::find_if(capture->m_recordings.begin(), capture->m_recordings.end(),
                                    [&](const Recording& recording) { return recording.stream == stream; });
    if (found == capture->m_recordings.end()) {
        return;
    }
    if (state == PA_STREAM_READY) {
        // A pause, wake or player that came while the stream was being set up.
        capture->FollowPlayers();
        capture->m_bToldNoSink = false;
        capture->RecordingStarted(*found);
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        const Recording recording = *found;
        capture->DropRecording(static_cast<size_t>(found - capture->m_recordings.begin()));
        // An application stream that ends takes our recording of it along:
        // the sink-input event that comes with it says what to record now.
        if (recording.sinkInput != PA_INVALID_INDEX) {
            return;
        }
        // With the server gone, the lost connection is the news, not the stream.
        if (pa_context_get_state(capture->m_context) == PA_CONTEXT_READY) {
            LogLimited(LogLevel::Warning, "recording stopped",
                       "recording from sink " + recording.sinkName + " stopped (" +
                           pa_strerror(pa_context_errno(capture->m_context)) + "); trying again");
        }
        capture->ScheduleRetry();
    }
}

// The log names what is recorded once, when it changes; the delay is set for
// the new stream (a new sink, a new latency).
void PulseLoopbackCapture::RecordingStarted(const Recording& recording)
{
    std::string what = recording.sinkInput == PA_INVALID_INDEX
                           ? "recording what plays on sink " + recording.sinkName
                           : "recording what " + m_source.name + " plays on sink " + recording.sinkName;
    if (what != m_recordedSink) {
        m_recordedSink = what;
        LogInfo(what);
    }
    m_delay.Clear();
    ApplyDelay(m_delayMs);
    ScheduleLatencyRead(kFirstLatencyReadUsec);
}

// While "auto" records, the sink's latency is read from the first recording
// every kLatencyReadUsec: what a sink reports with nobody recording (a null
// sink: two seconds) is not what it has while we do. A read asked for sooner
// brings a waiting one forward.
void PulseLoopbackCapture::ScheduleLatencyRead(pa_usec_t after)
{
    if (!m_delayChoice.automatic || m_bPaused || m_recordings.empty()) {
        return;
    }
    struct timeval when {};
    pa_timeval_add(pa_gettimeofday(&when), after);
    if (m_latencyTimer == nullptr) {
        m_latencyTimer = m_api->time_new(m_api, &when, &OnLatencyTimer, this);
    } else if (after < kLatencyReadUsec) {
        m_api->time_restart(m_latencyTimer, &when);
    }
}

void PulseLoopbackCapture::OnLatencyTimer(pa_mainloop_api* api, pa_time_event* event, const struct timeval*,
                                          void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    api->time_free(event);
    capture->m_latencyTimer = nullptr;
    if (!capture->m_recordings.empty() && capture->Ready(capture->m_recordings.front())) {
        if (pa_operation* op =
                pa_stream_update_timing_info(capture->m_recordings.front().stream, &OnTimingInfo, capture)) {
            pa_operation_unref(op);
        }
    }
    capture->ScheduleLatencyRead();
}

// On a record stream from a monitor, sink_usec is the latency of the sink
// it monitors: how long a sample takes from the monitor to the ears.
void PulseLoopbackCapture::OnTimingInfo(pa_stream* stream, int success, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    if (success == 0 || !capture->m_delayChoice.automatic || capture->m_recordings.empty() ||
        capture->m_recordings.front().stream != stream) {
        return;
    }
    const pa_timing_info* timing = pa_stream_get_timing_info(stream);
    if (timing == nullptr) {
        return;
    }
    const int ms = AutomaticDelayMs(timing->sink_usec);
    if (std::abs(ms - capture->m_delayMs) < kDelayStepMs && !capture->m_delayReason.empty()) {
        return;
    }
    const PulseSink* sink = capture->m_lists.SinkNamed(capture->m_recordings.front().sinkName);
    const std::string name = sink != nullptr && !sink->description.empty() ? sink->description
                                                                            : capture->m_recordings.front().sinkName;
    const uint64_t reportedMs = timing->sink_usec / PA_USEC_PER_MSEC;
    if (reportedMs > static_cast<uint64_t>(kMaxCaptureDelayMs)) {
        LogInfo(name + " reports " + std::to_string(reportedMs) + " ms of latency; lights delayed by the most, " +
                std::to_string(kMaxCaptureDelayMs) + " ms");
    } else {
        LogInfo("lights delayed by " + std::to_string(ms) + " ms to match " + name);
    }
    capture->m_delayReason = name;
    capture->m_delayMs = ms;
    capture->ApplyDelay(ms);
}

void PulseLoopbackCapture::ApplyDelay(int ms)
{
    m_delay.Set(static_cast<uint32_t>(static_cast<uint64_t>(ms) * m_rate / 1000), kChannels);
}

SourceListing PulseLoopbackCapture::ListSources()
{
    std::lock_guard lock(m_mutex);
    SourceListing listing;
    listing.current = m_source;
    for (const PulseSink& sink : m_lists.Sinks()) {
        listing.outputs.push_back({CaptureSource{CaptureSource::Kind::Output, sink.name}.Id(),
                                   sink.description.empty() ? sink.name : sink.description,
                                   sink.name == m_defaultSink});
    }
    const auto listApp = [&](const std::string& name, bool playing) {
        const auto found = std::find_if(listing.apps.begin(), listing.apps.end(),
                                        [&](const SourceListing::App& app) { return app.name == name; });
        if (found == listing.apps.end()) {
            listing.apps.push_back({CaptureSource{CaptureSource::Kind::App, name}.Id(), name, playing});
        } else {
            found->playing = found->playing || playing;
        }
    };
    for (const PulseSinkInput& input : m_lists.Inputs()) {
        if (!input.application.empty()) {  // no name to choose it by
            listApp(input.application, !input.corked);
        }
    }
    if (m_source.kind == CaptureSource::Kind::App) {
        listApp(m_source.name, false);
    }
    return listing;
}

// Every kind of source can be recorded here (pipewire-pulse included).
std::optional<std::string> PulseLoopbackCapture::ChooseSource(const CaptureSource& source)
{
    {
        std::lock_guard lock(m_mutex);
        if (source == m_source) {
            return std::nullopt;
        }
        m_source = source;
        m_bToldMissing = false;
        if (m_loop != nullptr) {
            Reconcile();
        }
    }
    if (m_loop != nullptr) {
        m_loop->Wakeup();
    }
    return std::nullopt;
}

void PulseLoopbackCapture::ChooseDelay(const CaptureDelay& delay)
{
    {
        std::lock_guard lock(m_mutex);
        if (delay == m_delayChoice) {
            return;
        }
        m_delayChoice = delay;
        m_delayReason.clear();
        if (!delay.automatic) {
            m_delayMs = delay.fixedMs;
            LogInfo("lights delayed by " + std::to_string(delay.fixedMs) + " ms, as chosen");
        }
        ApplyDelay(m_delayMs);
        if (m_loop != nullptr) {
            ScheduleLatencyRead(kFirstLatencyReadUsec);
        }
    }
    if (m_loop != nullptr) {
        m_loop->Wakeup();
    }
}

CaptureSource PulseLoopbackCapture::Source()
{
    std::lock_guard lock(m_mutex);
    return m_source;
}

CaptureDelay PulseLoopbackCapture::Delay()
{
    std::lock_guard lock(m_mutex);
    return m_delayChoice;
}

int PulseLoopbackCapture::DelayMs()
{
    std::lock_guard lock(m_mutex);
    return m_delayMs;
}

// An application is known by its name; an output by what the server calls
// the sink it plays on.
RecordingState PulseLoopbackCapture::Recorded()
{
    std::lock_guard lock(m_mutex);
    if (m_recordings.empty() || !Ready(m_recordings.front())) {
        return {};
    }
    if (m_source.kind == CaptureSource::Kind::App) {
        return {true, m_source.name};
    }
    const std::string& sinkName = m_recordings.front().sinkName;
    const PulseSink* sink = m_lists.SinkNamed(sinkName);
    return {true, sink != nullptr && !sink->description.empty() ? sink->description : sinkName};
}

}  // namespace

std::unique_ptr<CaptureBackend> OpenLoopbackCapture()
{
    return std::make_unique<PulseLoopbackCapture>();
}
