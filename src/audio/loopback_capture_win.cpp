// Loopback capture through WASAPI: the default render endpoint (render flow,
// console role) opened in shared loopback mode, reopened when the audio
// service names a new default; or, as chosen, one render endpoint by its id,
// or one application's process tree through process loopback (Windows 10
// version 2004 and later; refused where the system lacks it). A stream that
// breaks (format change, exclusive use, audio service restart, the chosen
// endpoint unplugged, the application gone) or cannot be opened is tried
// again about once a second, from Drain, as the PulseAudio side reconnects.
// The service calls the notification operations on a thread of its own, the
// API thread makes the choices; m_streamLock serialises them with Drain on
// the frame thread, so a stream is never released while Drain reads from it,
// and guards every member below it. Packets pass through the delay ring.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <propidl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_endpoints_win.h"
#include "audio/capture_backend.h"
#include "audio/sample_delay.h"
#include "base/log.h"

namespace {

constexpr wchar_t kLoopbackName[] = L"Default Loopback Device";
constexpr wchar_t kTestCaptureName[] = L"Default Capture Device (tests)";
constexpr char kTestEndpointVariable[] = "TONVIK_TEST_CAPTURE_ENDPOINT";
constexpr ULONGLONG kRetryMs = 1000;
// A change of the automatic delay smaller than this is the report's wobble.
constexpr int kDelayStepMs = 5;
// Process loopback has no mix format of its own: it converts to what it is asked for.
constexpr WAVEFORMATEX kProcessLoopbackFormat{WAVE_FORMAT_IEEE_FLOAT, 2, 48000, 48000 * 8, 8, 32, 0};
// The buffer a process loopback stream keeps between two drains.
constexpr REFERENCE_TIME kProcessLoopbackBuffer = 2000000;  // 200 ms in 100 ns units

// PKEY_Device_FriendlyName ("Speakers (Realtek Audio)"), spelled out so the
// build needs no property-key library.
constexpr PROPERTYKEY kDeviceFriendlyName{{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}},
                                          14};

// KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, spelled out so the build needs no ksuser.
constexpr GUID kSubtypeIeeeFloat{0x00000003, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

template <typename T>
void ReleaseAndClear(T*& reference)
{
    if (reference != nullptr) {
        reference->Release();
        reference = nullptr;
    }
}

std::string Utf8(const wchar_t* text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) {
        return {};
    }
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes - 1));
    return out;
}

// The name the user sees for the endpoint in the sound settings; empty when
// the endpoint has none.
std::string FriendlyName(IMMDevice* device)
{
    IPropertyStore* store = nullptr;
    if (FAILED(device->OpenPropertyStore(STGM_READ, &store)) || store == nullptr) {
        return {};
    }
    std::string name;
    PROPVARIANT value;
    PropVariantInit(&value);
    if (SUCCEEDED(store->GetValue(kDeviceFriendlyName, &value)) && value.vt == VT_LPWSTR && value.pwszVal != nullptr) {
        name = Utf8(value.pwszVal);
    }
    PropVariantClear(&value);
    store->Release();
    return name;
}

// The capture arithmetic reads 32-bit floats; any other sample type would be
// read as noise, so such a stream is not opened at all.
bool IsFloat32(const WAVEFORMATEX* format)
{
    if (format->wBitsPerSample != 32 || format->nChannels == 0) {
        return false;
    }
    if (format->wFormatTag == WAVE_FORMAT_IEEE_FLOAT) {
        return true;
    }
    if (format->wFormatTag == WAVE_FORMAT_EXTENSIBLE && format->cbSize >= 22) {
        const auto* extensible = reinterpret_cast<const WAVEFORMATEXTENSIBLE*>(format);
        return IsEqualGUID(extensible->SubFormat, kSubtypeIeeeFloat);
    }
    return false;
}

// For tests only: TONVIK_TEST_CAPTURE_ENDPOINT=capture records the default
// capture endpoint in shared mode (no loopback flag) instead of what the
// default render endpoint plays. Wine refuses loopback, but its PulseAudio
// driver can capture a sink's monitor, so the tests run everything after the
// open for real through it. It is never a fallback: on a real computer the
// default capture endpoint is the microphone. Read once, at the first open.
bool TestCaptureEndpointRequested()
{
    static const bool requested = [] {
        const char* value = std::getenv(kTestEndpointVariable);
        if (value == nullptr || *value == '\0') {
            return false;
        }
        if (std::strcmp(value, "capture") != 0) {
            LogWarning(std::string("audio: ignoring ") + kTestEndpointVariable + "=" + value +
                       " (only \"capture\" is known)");
            return false;
        }
        LogWarning(std::string("audio: ") + kTestEndpointVariable +
                   "=capture: recording the default capture endpoint, not what plays (tests only)");
        return true;
    }();
    return requested;
}

class WasapiLoopbackCapture final : public CaptureBackend, public CaptureSourceChoice, public IMMNotificationClient {
public:
    WasapiLoopbackCapture();
    ~WasapiLoopbackCapture() override;
    WasapiLoopbackCapture(const WasapiLoopbackCapture&) = delete;
    WasapiLoopbackCapture& operator=(const WasapiLoopbackCapture&) = delete;

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

    // IMMNotificationClient. The object lives as long as its owner; the
    // reference count only satisfies the interface.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE OnDeviceStateChanged(LPCWSTR, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceAdded(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDeviceRemoved(LPCWSTR) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR deviceId) override;
    HRESULT STDMETHODCALLTYPE OnPropertyValueChanged(LPCWSTR, const PROPERTYKEY) override { return S_OK; }

private:
    void InitEndpoints();
    // Empties the three endpoint lists, releasing their references.
    void ClearEndpoints();
    // Lists the endpoint the choice records: the default render endpoint
    // (the default capture endpoint under the test switch), or the chosen
    // one while it is active; false when there is none.
    bool ListChosenEndpoint();
    void OpenEndpoint();
    // The chosen application's process loopback, while the application runs.
    void OpenApplication();
    // Starts the client opened with the format, and sets the delay for it.
    bool StartStream(IAudioClient* client, const std::string& name, const std::string& description);
    void ApplyDelay(const std::string& name);
    void CloseStream();
    // Says once that the chosen output or application is not there.
    void TellMissing(const std::string& what);
    // Without a stream: the default endpoint looked up again and opened, at
    // most once per kRetryMs. True when a stream is open afterwards.
    bool RetryOpen();

    const bool m_bTestCapture = TestCaptureEndpointRequested();
    const EDataFlow m_flow = m_bTestCapture ? eCapture : eRender;
    std::mutex m_streamLock;
    bool m_bRegistered = false;
    int32_t m_nEndpoint = 0;
    std::vector<std::wstring> m_endpointNames;
    IMMDeviceEnumerator* m_pEnumerator = nullptr;
    std::vector<IMMDevice*> m_endpoints;
    std::vector<bool> m_endpointIsCapture;
    IAudioClient* m_pAudioClient = nullptr;
    IAudioCaptureClient* m_pCaptureClient = nullptr;
    WAVEFORMATEX* m_pMixFormat = nullptr;
    ULONGLONG m_nextRetryTick = 0;
    bool m_bStreamBroken = false;  // logged once, until a stream runs again
    bool m_bPaused = false;        // the audio client is stopped, and a new one is not started
    CaptureSource m_source;
    CaptureDelay m_delayChoice;
    int m_delayMs = 0;             // applied now
    bool m_bDelayTold = false;     // the automatic delay was logged for this choice
    bool m_bToldMissing = false;   // the chosen output or application was said to be missing
    HANDLE m_process = nullptr;    // the recorded application, to see it end
    SampleDelay m_delay;
    std::string m_streamDescription;  // what the user calls what the open stream records
};

WasapiLoopbackCapture::WasapiLoopbackCapture()
{
    InitEndpoints();
    std::lock_guard lock(m_streamLock);
    OpenEndpoint();
}

// Unregister first, without the lock: unregistering waits for a callback in
// progress, which may itself be waiting for the lock. The destroying thread
// joins the multithreaded apartment for the releases and leaves it after.
WasapiLoopbackCapture::~WasapiLoopbackCapture()
{
    const bool comInitialized = SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    if (m_bRegistered) {
        m_pEnumerator->UnregisterEndpointNotificationCallback(this);
    }
    {
        std::lock_guard lock(m_streamLock);
        CloseStream();
        ClearEndpoints();
    }
    ReleaseAndClear(m_pEnumerator);
    if (comInitialized) {
        CoUninitialize();
    }
}

// The creating thread joins the multithreaded apartment for good: it may be a
// worker that ends before this object, and its membership keeps the apartment
// alive for the frame thread, which uses the stream from the implicit one.
void WasapiLoopbackCapture::InitEndpoints()
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(CoCreateInstance(__uuidof(MMDeviceEnumerator), nullptr, CLSCTX_ALL, __uuidof(IMMDeviceEnumerator),
                                reinterpret_cast<void**>(&m_pEnumerator)))) {
        m_pEnumerator = nullptr;
        return;
    }
    std::lock_guard lock(m_streamLock);
    ClearEndpoints();
    m_bRegistered = SUCCEEDED(m_pEnumerator->RegisterEndpointNotificationCallback(this));
    ListChosenEndpoint();
}

void WasapiLoopbackCapture::ClearEndpoints()
{
    for (IMMDevice*& device : m_endpoints) {
        ReleaseAndClear(device);
    }
    m_endpoints.clear();
    m_endpointNames.clear();
    m_endpointIsCapture.clear();
}

bool WasapiLoopbackCapture::ListChosenEndpoint()
{
    IMMDevice* device = nullptr;
    if (m_pEnumerator == nullptr || m_source.kind == CaptureSource::Kind::App) {
        return false;
    }
    if (m_source.kind == CaptureSource::Kind::Output) {
        DWORD state = 0;
        if (FAILED(m_pEnumerator->GetDevice(Utf16(m_source.name).c_str(), &device)) || device == nullptr ||
            FAILED(device->GetState(&state)) || state != DEVICE_STATE_ACTIVE) {
            ReleaseAndClear(device);
            TellMissing("output " + m_source.name + " is not there; silence until it comes back");
            return false;
        }
        m_bToldMissing = false;
        m_endpointNames.push_back(Utf16(EndpointName(device)));
        m_endpoints.push_back(device);
        m_endpointIsCapture.push_back(m_bTestCapture);
        return true;
    }
    if (FAILED(m_pEnumerator->GetDefaultAudioEndpoint(m_flow, eConsole, &device)) || device == nullptr) {
        return false;
    }
    m_endpointNames.emplace_back(m_bTestCapture ? kTestCaptureName : kLoopbackName);
    m_endpoints.push_back(device);
    m_endpointIsCapture.push_back(m_bTestCapture);
    return true;
}

void WasapiLoopbackCapture::CloseStream()
{
    if (m_pAudioClient != nullptr) {
        m_pAudioClient->Stop();
    }
    ReleaseAndClear(m_pCaptureClient);
    ReleaseAndClear(m_pAudioClient);
    if (m_pMixFormat != nullptr) {
        CoTaskMemFree(m_pMixFormat);
        m_pMixFormat = nullptr;
    }
    m_streamDescription.clear();
    if (m_process != nullptr) {
        CloseHandle(m_process);
        m_process = nullptr;
    }
}

void WasapiLoopbackCapture::TellMissing(const std::string& what)
{
    if (!m_bToldMissing) {
        m_bToldMissing = true;
        LogInfo("audio: " + what);
    }
}

// Called with m_streamLock held. Every failure leaves no stream and no
// reference behind.
void WasapiLoopbackCapture::OpenEndpoint()
{
    CloseStream();
    if (m_nEndpoint < 0 || static_cast<size_t>(m_nEndpoint) >= m_endpoints.size()) {
        if (m_endpoints.empty()) {
            return;
        }
        m_nEndpoint = 0;
    }
    const auto entry = static_cast<size_t>(m_nEndpoint);
    IAudioClient* client = nullptr;
    if (FAILED(m_endpoints[entry]->Activate(__uuidof(IAudioClient), CLSCTX_ALL, nullptr,
                                            reinterpret_cast<void**>(&client))) ||
        client == nullptr) {
        return;
    }
    m_pAudioClient = client;
    WAVEFORMATEX* format = nullptr;
    if (FAILED(client->GetMixFormat(&format)) || format == nullptr) {
        CloseStream();
        return;
    }
    m_pMixFormat = format;
    const DWORD flags = m_endpointIsCapture[entry] ? 0 : AUDCLNT_STREAMFLAGS_LOOPBACK;
    if (!IsFloat32(format) || FAILED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, 0, 0, format, nullptr))) {
        CloseStream();
        return;
    }
    StartStream(client, Utf8(m_endpointNames[entry].c_str()), FriendlyName(m_endpoints[entry]));
}

// Called with m_streamLock held, once the client is initialised: takes the
// capture client and starts it (unless paused).
bool WasapiLoopbackCapture::StartStream(IAudioClient* client, const std::string& name, const std::string& description)
{
    IAudioCaptureClient* capture = nullptr;
    if (FAILED(client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture))) ||
        capture == nullptr) {
        CloseStream();
        return false;
    }
    m_pCaptureClient = capture;
    if (!m_bPaused && FAILED(client->Start())) {
        CloseStream();
        return false;
    }
    m_streamDescription = description;
    if (m_bStreamBroken) {
        m_bStreamBroken = false;
        LogInfo("audio: loopback capture reopened");
    }
    m_delay.Clear();
    ApplyDelay(name);
    return true;
}

// With "auto", the stream's latency and the endpoint's device period: how
// long what the monitor gets takes to reach the ears. Read for every new
// stream, which is every change of endpoint.
void WasapiLoopbackCapture::ApplyDelay(const std::string& name)
{
    if (m_pAudioClient == nullptr || m_pMixFormat == nullptr) {
        return;
    }
    if (m_delayChoice.automatic) {
        REFERENCE_TIME latency = 0;
        REFERENCE_TIME period = 0;
        if (FAILED(m_pAudioClient->GetStreamLatency(&latency))) {
            latency = 0;
        }
        if (FAILED(m_pAudioClient->GetDevicePeriod(&period, nullptr))) {
            period = 0;
        }
        const auto usec = static_cast<uint64_t>(std::max<REFERENCE_TIME>(latency + period, 0) / 10);
        const int ms = AutomaticDelayMs(usec);
        if (!m_bDelayTold || std::abs(ms - m_delayMs) >= kDelayStepMs) {
            m_bDelayTold = true;
            m_delayMs = ms;
            if (usec / 1000 > static_cast<uint64_t>(kMaxCaptureDelayMs)) {
                LogInfo("audio: " + name + " reports " + std::to_string(usec / 1000) +
                        " ms of latency; lights delayed by the most, " + std::to_string(kMaxCaptureDelayMs) + " ms");
            } else {
                LogInfo("audio: lights delayed by " + std::to_string(ms) + " ms to match " + name);
            }
        }
    }
    m_delay.Set(static_cast<uint32_t>(static_cast<uint64_t>(m_delayMs) * m_pMixFormat->nSamplesPerSec / 1000),
                m_pMixFormat->nChannels);
}

// Called with m_streamLock held. The process tree of the first process that
// runs under the chosen executable name; silence while none does.
void WasapiLoopbackCapture::OpenApplication()
{
    CloseStream();
    const DWORD processId = FindProcessByExecutable(m_source.name);
    if (processId == 0) {
        TellMissing(m_source.name + " is not running; silence until it is");
        return;
    }
    m_process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    HRESULT hr = S_OK;
    IAudioClient* client = ActivateProcessLoopback(processId, hr);
    if (client == nullptr) {
        CloseStream();
        return;
    }
    m_pAudioClient = client;
    auto* format = static_cast<WAVEFORMATEX*>(CoTaskMemAlloc(sizeof(WAVEFORMATEX)));
    if (format == nullptr) {
        CloseStream();
        return;
    }
    *format = kProcessLoopbackFormat;
    m_pMixFormat = format;
    if (FAILED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, AUDCLNT_STREAMFLAGS_LOOPBACK | AUDCLNT_STREAMFLAGS_AUTOCONVERTPCM,
                                  kProcessLoopbackBuffer, 0, format, nullptr))) {
        CloseStream();
        return;
    }
    if (StartStream(client, m_source.name, m_source.name)) {
        m_bToldMissing = false;
        LogInfo("audio: recording what " + m_source.name + " plays (process " + std::to_string(processId) + ")");
    }
}

bool WasapiLoopbackCapture::RetryOpen()
{
    const ULONGLONG now = GetTickCount64();
    if (now < m_nextRetryTick) {
        return false;
    }
    m_nextRetryTick = now + kRetryMs;
    if (m_source.kind == CaptureSource::Kind::App) {
        OpenApplication();
        return m_pCaptureClient != nullptr;
    }
    // The endpoint itself may be stale after the audio service restarted.
    ClearEndpoints();
    if (ListChosenEndpoint()) {
        OpenEndpoint();
    }
    return m_pCaptureClient != nullptr;
}

// Stopping the audio client keeps the stream open, so waking is one call.
// What was buffered before the stop is dropped on the way back: it is old.
void WasapiLoopbackCapture::SetPaused(bool paused)
{
    std::lock_guard lock(m_streamLock);
    if (m_bPaused == paused) {
        return;
    }
    m_bPaused = paused;
    if (m_pAudioClient == nullptr || m_pCaptureClient == nullptr) {
        return;
    }
    if (paused) {
        m_pAudioClient->Stop();
    } else {
        m_pAudioClient->Reset();
        m_pAudioClient->Start();
    }
}

RecordingState WasapiLoopbackCapture::Recorded()
{
    std::lock_guard lock(m_streamLock);
    return {m_pCaptureClient != nullptr, m_streamDescription};
}

bool WasapiLoopbackCapture::Drain(CapturePacketSink& sink)
{
    std::lock_guard lock(m_streamLock);
    if (m_pCaptureClient == nullptr && !RetryOpen()) {
        return false;
    }
    // An application that quit takes its process tree along: its next start
    // is found by name on the next retry.
    if (m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_OBJECT_0) {
        CloseStream();
        m_nextRetryTick = 0;
        return false;
    }
    const size_t floatsPerFrame = m_pMixFormat->nBlockAlign / sizeof(float);
    UINT32 frames = 1;
    while (frames > 0) {
        BYTE* data = nullptr;
        DWORD flags = 0;
        frames = 0;
        // A failed call (the device went away, changed its format or was
        // taken for exclusive use) or a packet without data with frames in it
        // means the stream is broken: close it and try again in a second.
        if (FAILED(m_pCaptureClient->GetBuffer(&data, &frames, &flags, nullptr, nullptr)) ||
            (data == nullptr && frames != 0)) {
            CloseStream();
            m_nextRetryTick = GetTickCount64() + kRetryMs;
            if (!m_bStreamBroken) {
                m_bStreamBroken = true;
                LogWarning("audio: the loopback stream broke; trying to reopen it every second");
            }
            return false;
        }
        if (data != nullptr && frames > 0) {
            // A silent packet carries no samples worth reading: zeros go on in their place.
            if ((flags & AUDCLNT_BUFFERFLAGS_SILENT) != 0) {
                std::fill_n(reinterpret_cast<float*>(data), frames * floatsPerFrame, 0.0f);
            }
            m_delay.Pass(reinterpret_cast<const float*>(data), frames * floatsPerFrame, frames, sink);
        }
        m_pCaptureClient->ReleaseBuffer(frames);
    }
    return true;
}

HRESULT WasapiLoopbackCapture::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr) {
        return E_POINTER;
    }
    if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IMMNotificationClient))) {
        *object = static_cast<IMMNotificationClient*>(this);
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

// Only the render default (the capture default under the test switch) for
// the console role matters; the device id is not used, the default is looked
// up again.
HRESULT WasapiLoopbackCapture::OnDefaultDeviceChanged(EDataFlow flow, ERole role, LPCWSTR)
{
    if (flow != m_flow || role != eConsole) {
        return S_OK;
    }
    std::lock_guard lock(m_streamLock);
    if (m_source.kind != CaptureSource::Kind::Default) {
        return S_OK;
    }
    ClearEndpoints();
    if (ListChosenEndpoint()) {
        OpenEndpoint();
    }
    return S_OK;
}

// Outputs are the endpoints of the flow recorded (capture endpoints under the
// test switch); applications those with a session on the default render endpoint.
SourceListing WasapiLoopbackCapture::ListSources()
{
    SourceListing listing;
    listing.current = Source();
    for (const AudioEndpoint& endpoint : ListAudioEndpoints(m_pEnumerator, m_flow)) {
        listing.outputs.push_back(
            {CaptureSource{CaptureSource::Kind::Output, endpoint.id}.Id(), endpoint.name, endpoint.isDefault});
    }
    IMMDevice* render = nullptr;
    if (m_pEnumerator != nullptr && SUCCEEDED(m_pEnumerator->GetDefaultAudioEndpoint(eRender, eConsole, &render)) &&
        render != nullptr) {
        for (const PlayingApp& app : ListSessionApps(render)) {
            listing.apps.push_back({CaptureSource{CaptureSource::Kind::App, app.name}.Id(), app.name, app.playing});
        }
        render->Release();
    }
    if (listing.current.kind == CaptureSource::Kind::App &&
        std::none_of(listing.apps.begin(), listing.apps.end(), [&](const auto& app) {
            return app.name == listing.current.name;
        })) {
        listing.apps.push_back({listing.current.Id(), listing.current.name, false});
    }
    return listing;
}

// The stream closes at once; the next Drain opens what the choice wants.
std::optional<std::string> WasapiLoopbackCapture::ChooseSource(const CaptureSource& source)
{
    if (source.kind == CaptureSource::Kind::App) {
        if (std::optional<std::string> reason = ProcessLoopbackUnavailable()) {
            return reason;
        }
    }
    std::lock_guard lock(m_streamLock);
    if (source == m_source) {
        return std::nullopt;
    }
    m_source = source;
    m_bToldMissing = false;
    CloseStream();
    ClearEndpoints();
    m_nextRetryTick = 0;
    return std::nullopt;
}

void WasapiLoopbackCapture::ChooseDelay(const CaptureDelay& delay)
{
    std::lock_guard lock(m_streamLock);
    if (delay == m_delayChoice) {
        return;
    }
    m_delayChoice = delay;
    m_bDelayTold = false;
    if (!delay.automatic) {
        m_delayMs = delay.fixedMs;
        LogInfo("audio: lights delayed by " + std::to_string(delay.fixedMs) + " ms, as chosen");
    }
    const std::string name = m_endpointNames.empty() ? m_source.name : Utf8(m_endpointNames.front().c_str());
    ApplyDelay(name);
}

CaptureSource WasapiLoopbackCapture::Source()
{
    std::lock_guard lock(m_streamLock);
    return m_source;
}

CaptureDelay WasapiLoopbackCapture::Delay()
{
    std::lock_guard lock(m_streamLock);
    return m_delayChoice;
}

int WasapiLoopbackCapture::DelayMs()
{
    std::lock_guard lock(m_streamLock);
    return m_delayMs;
}

}  // namespace

std::unique_ptr<CaptureBackend> OpenLoopbackCapture()
{
    return std::make_unique<WasapiLoopbackCapture>();
}
