// Loopback capture through the PulseAudio client library (PipeWire serves the
// same protocol): records the monitor of the default sink as float32 stereo
// at the server's rate, reopens on the new monitor when the default sink
// changes, and reconnects when the server goes away and comes back.
//
// All server traffic runs on one event loop of our own (PulseEventLoop),
// served by whichever thread is awake anyway. While the analysis drains every
// frame, Drain runs the loop without waiting on the frame thread, so the
// packets the server sends every few milliseconds cost no wake-up of their
// own. While nobody drains (paused, or no Drain for kHandBack), the backend's
// own thread runs it, blocking until the server or a timer has something.
// Only one thread runs the loop at a time: m_mutex guards the loop, the
// context, the stream, the log state and the flags below, and callbacks run
// with it held. The loop thread lets go of it only while it waits in poll, as
// the library's threaded loop does, so Drain and SetPaused may use the stream
// then, and the loop wakes the poll for whatever they queue.
//
// While the analysis waits for sound (AwaitSound), the loop thread runs the
// loop and looks at each packet as it arrives, dropping the silent ones and
// leaving the first audible one for the next Drain. Meanwhile the stream is
// corked whenever no running player feeds the sink (the sink inputs are
// followed by subscription), so nothing wakes the capture while nothing
// plays; a player that starts uncorks it at once. The listener is called on
// the loop thread with m_mutex released.
//
// The log tells the state changes a user needs: connected (or no server yet),
// lost, reconnected, and which sink is recorded; never the retries in between.
#include <poll.h>
#include <pulse/pulseaudio.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "audio/capture_backend.h"
#include "audio/pulse_event_loop_linux.h"
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

// A node.latency property ("1440/48000") in microseconds; 0 when there is none.
pa_usec_t NodeLatencyUsec(const pa_proplist* properties)
{
    const char* text = properties != nullptr ? pa_proplist_gets(properties, "node.latency") : nullptr;
    unsigned long frames = 0;
    unsigned long rate = 0;
    if (text == nullptr || std::sscanf(text, "%lu/%lu", &frames, &rate) != 2 || rate == 0 || frames > rate * 10) {
        return 0;
    }
    return static_cast<pa_usec_t>(frames) * PA_USEC_PER_SEC / rate;
}

class PulseLoopbackCapture final : public CaptureBackend {
public:
    PulseLoopbackCapture();
    ~PulseLoopbackCapture() override;
    PulseLoopbackCapture(const PulseLoopbackCapture&) = delete;
    PulseLoopbackCapture& operator=(const PulseLoopbackCapture&) = delete;

    bool Drain(CapturePacketSink& sink) override;
    void SetPaused(bool paused) override;
    bool AwaitSound(SoundListener& listener) override;
    void StopAwaitingSound() override;

private:
    static void OnContextState(pa_context* context, void* self);
    static void OnServerEvent(pa_context* context, pa_subscription_event_type_t type, uint32_t index, void* self);
    static void OnServerInfo(pa_context* context, const pa_server_info* info, void* self);
    static void OnStreamState(pa_stream* stream, void* self);
    static void OnReadable(pa_stream* stream, size_t bytes, void* self);
    static void OnSinkInfo(pa_context* context, const pa_sink_info* info, int eol, void* self);
    static void OnSinkInput(pa_context* context, const pa_sink_input_info* info, int eol, void* self);
    // Asks the stream for the fragment the players allow.
    void FollowPlayersLatency(pa_usec_t playersUsec);
    static void OnRetry(pa_mainloop_api* api, pa_time_event* event, const struct timeval* when, void* self);
    static int PollReleasingLock(struct pollfd* fds, unsigned long count, int timeoutMs, void* self);

    void LoopThread();
    bool FrameThreadServes() const;

    void Connect();
    void ConnectionFailed();
    void DropContext();
    void DropStream();
    void QueryServer();
    void OpenStream(const std::string& sinkName, uint32_t rate);
    void ScheduleRetry();
    // Corks or uncorks the stream as the pause and the players want it.
    void UpdateCork();
    bool WantCorked() const { return m_bPaused || (m_awaiting != nullptr && !m_bPlayers); }
    void QueryPlayers();
    // Drops the silent packets waiting in the stream; at an audible one,
    // keeps it and ends the await.
    void ScanForSound();

    std::unique_ptr<PulseEventLoop> m_loop;
    pa_mainloop_api* m_api = nullptr;
    pa_context* m_context = nullptr;
    pa_stream* m_stream = nullptr;
    pa_time_event* m_retry = nullptr;
    std::string m_sinkName;  // the sink whose monitor m_stream records
    bool m_bPaused = false;  // the stream is corked, and a new one opens corked
    SoundListener* m_awaiting = nullptr;  // while the analysis waits for sound
    SoundListener* m_heardBy = nullptr;   // to be told by the loop thread that sound came
    bool m_bPlayers = true;               // a running player feeds the sink (or it is not known yet)
    int m_nPlayersCounted = 0;            // running players listed so far by the query under way
    pa_usec_t m_playersLatencyUsec = 0;   // the smallest node.latency among them, 0 for none
    pa_usec_t m_fragmentUsec = kFragmentUsec;  // what the stream asks, following the players
    uint32_t m_sinkIndex = PA_INVALID_INDEX;  // the recorded sink's index

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
    std::string m_recordedSink;      // the sink last logged as recorded
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
        DropStream();
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
    DropStream();
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
    const bool open = m_stream != nullptr && pa_stream_get_state(m_stream) == PA_STREAM_READY;
    if (open) {
        const size_t frameBytes = pa_frame_size(pa_stream_get_sample_spec(m_stream));
        const void* data = nullptr;
        size_t bytes = 0;
        while (pa_stream_peek(m_stream, &data, &bytes) == 0 && bytes > 0) {
            // A hole (no data for a stretch of the stream) is skipped.
            if (data != nullptr) {
                sink.OnPacket(static_cast<const float*>(data), bytes / sizeof(float),
                              static_cast<uint32_t>(bytes / frameBytes));
            }
            pa_stream_drop(m_stream);
        }
    }
    return open;
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
    }
    m_loopWanted.notify_all();
    m_loop->Wakeup();
}

// Without a loop nothing will ever be heard: the wait is for good.
bool PulseLoopbackCapture::AwaitSound(SoundListener& listener)
{
    if (m_loop == nullptr) {
        return true;
    }
    {
        std::lock_guard lock(m_mutex);
        m_awaiting = &listener;
        m_heardBy = nullptr;
        // Uncorked until the players are counted: a tone may be starting.
        m_bPlayers = true;
        if (m_context != nullptr && pa_context_get_state(m_context) == PA_CONTEXT_READY) {
            QueryPlayers();
        }
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

void PulseLoopbackCapture::UpdateCork()
{
    if (m_stream == nullptr || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
        return;
    }
    const bool corked = WantCorked();
    if ((pa_stream_is_corked(m_stream) == 1) != corked) {
        if (pa_operation* op = pa_stream_cork(m_stream, corked ? 1 : 0, nullptr, nullptr)) {
            pa_operation_unref(op);
        }
    }
}

void PulseLoopbackCapture::QueryPlayers()
{
    if (pa_operation* op = pa_context_get_sink_input_info_list(m_context, &OnSinkInput, this)) {
        pa_operation_unref(op);
    }
}

// A player counts while it is uncorked on the recorded sink (on any sink
// while that sink's index is not known yet).
void PulseLoopbackCapture::OnSinkInput(pa_context*, const pa_sink_input_info* info, int eol, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    if (eol == 0 && info != nullptr) {
        if (info->corked == 0 && (capture->m_sinkIndex == PA_INVALID_INDEX || info->sink == capture->m_sinkIndex)) {
            ++capture->m_nPlayersCounted;
            const pa_usec_t latency = NodeLatencyUsec(info->proplist);
            if (latency > 0 && (capture->m_playersLatencyUsec == 0 || latency < capture->m_playersLatencyUsec)) {
                capture->m_playersLatencyUsec = latency;
            }
        }
        return;
    }
    // An ended or failed list: a failure leaves the stream uncorked.
    capture->m_bPlayers = eol < 0 || capture->m_nPlayersCounted > 0;
    capture->m_nPlayersCounted = 0;
    capture->UpdateCork();
    if (eol > 0) {
        capture->FollowPlayersLatency(std::exchange(capture->m_playersLatencyUsec, 0));
    }
}

// With no player running the fragment stays as it is: the next player most
// likely asks what the last one did, and nothing else runs the graph meanwhile.
void PulseLoopbackCapture::FollowPlayersLatency(pa_usec_t playersUsec)
{
    const pa_usec_t wanted = std::max(kFragmentUsec, playersUsec);
    if (playersUsec == 0 || wanted == m_fragmentUsec) {
        return;
    }
    m_fragmentUsec = wanted;
    if (m_stream == nullptr || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
        return;
    }
    pa_buffer_attr attr = *pa_stream_get_buffer_attr(m_stream);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(m_fragmentUsec, pa_stream_get_sample_spec(m_stream)));
    if (pa_operation* op = pa_stream_set_buffer_attr(m_stream, &attr, nullptr, nullptr)) {
        pa_operation_unref(op);
    }
}

void PulseLoopbackCapture::OnSinkInfo(pa_context*, const pa_sink_info* info, int eol, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    if (eol != 0 || info == nullptr || info->name == nullptr || capture->m_sinkName != info->name) {
        return;
    }
    capture->m_sinkIndex = info->index;
    capture->QueryPlayers();
}

void PulseLoopbackCapture::OnReadable(pa_stream*, size_t, void* self)
{
    static_cast<PulseLoopbackCapture*>(self)->ScanForSound();
}

void PulseLoopbackCapture::ScanForSound()
{
    if (m_awaiting == nullptr || m_stream == nullptr || pa_stream_get_state(m_stream) != PA_STREAM_READY) {
        return;
    }
    const size_t frameBytes = pa_frame_size(pa_stream_get_sample_spec(m_stream));
    const void* data = nullptr;
    size_t bytes = 0;
    while (pa_stream_peek(m_stream, &data, &bytes) == 0 && bytes > 0) {
        if (data != nullptr && m_awaiting->Audible(static_cast<const float*>(data), bytes / sizeof(float),
                                                   static_cast<uint32_t>(bytes / frameBytes))) {
            m_heardBy = std::exchange(m_awaiting, nullptr);
            UpdateCork();
            if (m_bLoopThreadRuns) {
                m_loop->Wakeup();
            }
            return;
        }
        pa_stream_drop(m_stream);
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
}

void PulseLoopbackCapture::DropStream()
{
    if (m_stream == nullptr) {
        return;
    }
    pa_stream_set_state_callback(m_stream, nullptr, nullptr);
    pa_stream_set_read_callback(m_stream, nullptr, nullptr);
    pa_stream_disconnect(m_stream);
    pa_stream_unref(m_stream);
    m_stream = nullptr;
    m_sinkName.clear();
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
    capture->DropStream();
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
                context, static_cast<pa_subscription_mask_t>(PA_SUBSCRIPTION_MASK_SERVER | PA_SUBSCRIPTION_MASK_SINK_INPUT),
                nullptr, nullptr)) {
            pa_operation_unref(op);
        }
        capture->QueryServer();
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
// changing leaves the sink name as it is, so it reopens nothing. Players
// starting, stopping and corking matter only while the analysis waits.
void PulseLoopbackCapture::OnServerEvent(pa_context*, pa_subscription_event_type_t type, uint32_t, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    const auto facility = type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK;
    if (facility == PA_SUBSCRIPTION_EVENT_SERVER) {
        capture->QueryServer();
    } else if (facility == PA_SUBSCRIPTION_EVENT_SINK_INPUT) {
        capture->QueryPlayers();
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
    const std::string sinkName = info->default_sink_name != nullptr ? info->default_sink_name : "";
    if (sinkName.empty()) {
        capture->DropStream();
        if (!capture->m_bToldNoSink) {
            capture->m_bToldNoSink = true;
            capture->m_recordedSink.clear();
            LogWarning("the sound server has no default sink to record from");
        }
        return;
    }
    if (sinkName != capture->m_sinkName || capture->m_stream == nullptr) {
        capture->OpenStream(sinkName, info->sample_spec.rate);
    }
}

void PulseLoopbackCapture::OpenStream(const std::string& sinkName, uint32_t rate)
{
    DropStream();
    pa_sample_spec spec{};
    spec.format = PA_SAMPLE_FLOAT32LE;
    spec.rate = rate;
    spec.channels = 2;
    if (!pa_sample_spec_valid(&spec)) {
        return;
    }
    m_stream = pa_stream_new(m_context, "Loopback", &spec, nullptr);
    if (m_stream == nullptr) {
        return;
    }
    m_sinkName = sinkName;
    m_sinkIndex = PA_INVALID_INDEX;
    pa_stream_set_state_callback(m_stream, &OnStreamState, this);
    pa_stream_set_read_callback(m_stream, &OnReadable, this);

    pa_buffer_attr attr{};
    attr.maxlength = static_cast<uint32_t>(pa_usec_to_bytes(kMaxBufferedUsec, &spec));
    attr.tlength = static_cast<uint32_t>(-1);
    attr.prebuf = static_cast<uint32_t>(-1);
    attr.minreq = static_cast<uint32_t>(-1);
    attr.fragsize = static_cast<uint32_t>(pa_usec_to_bytes(m_fragmentUsec, &spec));
    // Not moved elsewhere (say, to a microphone) when the sink goes: the
    // stream fails instead and is reopened on the new default's monitor.
    const auto flags = static_cast<pa_stream_flags_t>(PA_STREAM_ADJUST_LATENCY | PA_STREAM_DONT_MOVE |
                                                      (WantCorked() ? PA_STREAM_START_CORKED : 0));
    const std::string monitor = sinkName + ".monitor";
    if (pa_stream_connect_record(m_stream, monitor.c_str(), &attr, flags) < 0) {
        DropStream();
        ScheduleRetry();
    }
}

void PulseLoopbackCapture::OnStreamState(pa_stream* stream, void* self)
{
    auto* capture = static_cast<PulseLoopbackCapture*>(self);
    const pa_stream_state_t state = pa_stream_get_state(stream);
    if (stream != capture->m_stream) {
        return;
    }
    if (state == PA_STREAM_READY) {
        // A pause or wake that came while the stream was being set up.
        capture->UpdateCork();
        if (pa_operation* op = pa_context_get_sink_info_by_name(capture->m_context, capture->m_sinkName.c_str(),
                                                                &OnSinkInfo, capture)) {
            pa_operation_unref(op);
        }
        capture->m_bToldNoSink = false;
        if (capture->m_sinkName != capture->m_recordedSink) {
            capture->m_recordedSink = capture->m_sinkName;
            LogInfo("recording what plays on sink " + capture->m_sinkName);
        }
    } else if (state == PA_STREAM_FAILED || state == PA_STREAM_TERMINATED) {
        // With the server gone, the lost connection is the news, not the stream.
        if (pa_context_get_state(capture->m_context) == PA_CONTEXT_READY) {
            LogLimited(LogLevel::Warning, "recording stopped",
                       "recording from sink " + capture->m_sinkName + " stopped (" +
                           pa_strerror(pa_context_errno(capture->m_context)) + "); trying again");
        }
        capture->DropStream();
        capture->ScheduleRetry();
    }
}

}  // namespace

std::unique_ptr<CaptureBackend> OpenLoopbackCapture()
{
    return std::make_unique<PulseLoopbackCapture>();
}
