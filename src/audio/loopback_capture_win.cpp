// Loopback capture through WASAPI: the default render endpoint (render flow,
// console role) opened in shared loopback mode, reopened when the audio
// service names a new default. A stream that breaks (format change, exclusive
// use, audio service restart) or cannot be opened is tried again about once a
// second, from Drain, as the PulseAudio side reconnects. The service calls the
// notification operations on a thread of its own; m_streamLock serialises them
// with Drain on the frame thread, so a stream is never released while Drain
// reads from it, and guards every member below it.
#include <windows.h>

#include <audioclient.h>
#include <mmdeviceapi.h>
#include <mmreg.h>
#include <propidl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "audio/capture_backend.h"
#include "base/log.h"

namespace {

constexpr wchar_t kLoopbackName[] = L"Default Loopback Device";
constexpr wchar_t kTestCaptureName[] = L"Default Capture Device (tests)";
constexpr char kTestEndpointVariable[] = "TONVIK_TEST_CAPTURE_ENDPOINT";
constexpr ULONGLONG kRetryMs = 1000;

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

class WasapiLoopbackCapture final : public CaptureBackend, public IMMNotificationClient {
public:
    WasapiLoopbackCapture();
    ~WasapiLoopbackCapture() override;
    WasapiLoopbackCapture(const WasapiLoopbackCapture&) = delete;
    WasapiLoopbackCapture& operator=(const WasapiLoopbackCapture&) = delete;

    bool Drain(CapturePacketSink& sink) override;
    void SetPaused(bool paused) override;
    CaptureSource Source() override;

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
    // Lists the default render endpoint (the default capture endpoint under
    // the test switch); false when there is none.
    bool ListDefaultEndpoint();
    void OpenEndpoint();
    void CloseStream();
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
    std::string m_streamDescription;  // the open stream's endpoint as the user knows it
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
    ListDefaultEndpoint();
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

bool WasapiLoopbackCapture::ListDefaultEndpoint()
{
    IMMDevice* device = nullptr;
    if (m_pEnumerator == nullptr || FAILED(m_pEnumerator->GetDefaultAudioEndpoint(m_flow, eConsole, &device)) ||
        device == nullptr) {
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
    IAudioCaptureClient* capture = nullptr;
    if (!IsFloat32(format) || FAILED(client->Initialize(AUDCLNT_SHAREMODE_SHARED, flags, 0, 0, format, nullptr)) ||
        FAILED(client->GetService(__uuidof(IAudioCaptureClient), reinterpret_cast<void**>(&capture))) ||
        capture == nullptr) {
        CloseStream();
        return;
    }
    m_pCaptureClient = capture;
    if (!m_bPaused && FAILED(client->Start())) {
        CloseStream();
        return;
    }
    m_streamDescription = FriendlyName(m_endpoints[entry]);
    if (m_bStreamBroken) {
        m_bStreamBroken = false;
        LogInfo("audio: loopback capture reopened");
    }
}

bool WasapiLoopbackCapture::RetryOpen()
{
    const ULONGLONG now = GetTickCount64();
    if (now < m_nextRetryTick) {
        return false;
    }
    m_nextRetryTick = now + kRetryMs;
    // The endpoint itself may be stale after the audio service restarted.
    ClearEndpoints();
    if (ListDefaultEndpoint()) {
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

CaptureSource WasapiLoopbackCapture::Source()
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
            sink.OnPacket(reinterpret_cast<const float*>(data), frames * floatsPerFrame, frames);
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
    ClearEndpoints();
    if (ListDefaultEndpoint()) {
        OpenEndpoint();
    }
    return S_OK;
}

}  // namespace

std::unique_ptr<CaptureBackend> OpenLoopbackCapture()
{
    return std::make_unique<WasapiLoopbackCapture>();
}
