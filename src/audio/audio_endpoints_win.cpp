#include "audio/audio_endpoints_win.h"

#include <audiopolicy.h>
#include <propidl.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>

namespace {

// The activation parameters of process loopback (audioclientactivationparams.h
// in newer SDKs; this toolchain's headers lack them), laid out as Windows
// reads them.
enum class ActivationType : int { Default = 0, ProcessLoopback = 1 };
enum class LoopbackMode : int { IncludeTargetProcessTree = 0, ExcludeTargetProcessTree = 1 };
struct ProcessLoopbackParams {
    DWORD targetProcessId;
    LoopbackMode mode;
};
struct ActivationParams {
    ActivationType type;
    ProcessLoopbackParams processLoopback;
};
constexpr wchar_t kProcessLoopbackDevice[] = L"VAD\\Process_Loopback";

// Looked up at run time: a system without it (before Windows 8) still runs
// the rest of the capture, and refuses only the application choice.
using ActivateFunction = HRESULT(WINAPI*)(LPCWSTR, REFIID, PROPVARIANT*, IActivateAudioInterfaceCompletionHandler*,
                                          IActivateAudioInterfaceAsyncOperation**);
ActivateFunction ActivateAudioInterfaceAsyncFunction()
{
    static const ActivateFunction function = [] {
        HMODULE module = LoadLibraryW(L"mmdevapi.dll");
        return module == nullptr ? nullptr
                                 : reinterpret_cast<ActivateFunction>(
                                       reinterpret_cast<void*>(GetProcAddress(module, "ActivateAudioInterfaceAsync")));
    }();
    return function;
}
constexpr DWORD kActivationTimeoutMs = 3000;
// PKEY_Device_FriendlyName, spelled out so the build needs no GUID library for it.
constexpr PROPERTYKEY kFriendlyName{{0xa45c254e, 0xdf1c, 0x4efd, {0x80, 0x20, 0x67, 0xd1, 0x46, 0xa8, 0x50, 0xe0}}, 14};

template <typename T>
void ReleaseAndClear(T*& reference)
{
    if (reference != nullptr) {
        reference->Release();
        reference = nullptr;
    }
}

// Signals an event when the activation completes. Agile, so the audio
// service may call it from any thread. Counted: the operation holds it until
// the operation itself goes, which may be after the activating thread's wait
// (or its time-out), so the last Release deletes it.
class ActivationWaiter final : public IActivateAudioInterfaceCompletionHandler, public IAgileObject {
public:
    ActivationWaiter() : m_done(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ActivationWaiter(const ActivationWaiter&) = delete;
    ActivationWaiter& operator=(const ActivationWaiter&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override
    {
        if (object == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(iid, __uuidof(IUnknown)) || IsEqualIID(iid, __uuidof(IActivateAudioInterfaceCompletionHandler))) {
            *object = static_cast<IActivateAudioInterfaceCompletionHandler*>(this);
            return S_OK;
        }
        if (IsEqualIID(iid, __uuidof(IAgileObject))) {
            *object = static_cast<IAgileObject*>(this);
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_references)); }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const LONG left = InterlockedDecrement(&m_references);
        if (left == 0) {
            delete this;
        }
        return static_cast<ULONG>(left);
    }
    HRESULT STDMETHODCALLTYPE ActivateCompleted(IActivateAudioInterfaceAsyncOperation*) override
    {
        SetEvent(m_done);
        return S_OK;
    }

    bool Wait(DWORD ms) const { return m_done != nullptr && WaitForSingleObject(m_done, ms) == WAIT_OBJECT_0; }

private:
    ~ActivationWaiter()
    {
        if (m_done != nullptr) {
            CloseHandle(m_done);
        }
    }

    HANDLE m_done;
    LONG m_references = 1;  // the activating thread's
};

std::string HresultText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string ProcessExecutable(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
    if (process == nullptr) {
        return {};
    }
    wchar_t path[MAX_PATH];
    DWORD size = MAX_PATH;
    std::string name;
    if (QueryFullProcessImageNameW(process, 0, path, &size) != 0) {
        const wchar_t* slash = wcsrchr(path, L'\\');
        name = Utf8(slash != nullptr ? slash + 1 : path);
    }
    CloseHandle(process);
    return name;
}

}  // namespace

std::wstring Utf16(const std::string& text)
{
    if (text.empty()) {
        return {};
    }
    const int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(std::max(size, 0)), L'\0');
    if (size > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    }
    return wide;
}

std::string Utf8(const wchar_t* text)
{
    if (text == nullptr || *text == L'\0') {
        return {};
    }
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(std::max(size, 1)), '\0');
    if (size > 0) {
        WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow.data(), size, nullptr, nullptr);
    }
    narrow.resize(narrow.size() - 1);
    return narrow;
}

std::string EndpointName(IMMDevice* device)
{
    std::string name;
    IPropertyStore* properties = nullptr;
    if (SUCCEEDED(device->OpenPropertyStore(STGM_READ, &properties)) && properties != nullptr) {
        PROPVARIANT value;
        PropVariantInit(&value);
        if (SUCCEEDED(properties->GetValue(kFriendlyName, &value)) && value.vt == VT_LPWSTR) {
            name = Utf8(value.pwszVal);
        }
        PropVariantClear(&value);
        properties->Release();
    }
    if (name.empty()) {
        LPWSTR id = nullptr;
        if (SUCCEEDED(device->GetId(&id)) && id != nullptr) {
            name = Utf8(id);
            CoTaskMemFree(id);
        }
    }
    return name;
}

std::vector<AudioEndpoint> ListAudioEndpoints(IMMDeviceEnumerator* enumerator, EDataFlow flow)
{
    std::vector<AudioEndpoint> endpoints;
    if (enumerator == nullptr) {
        return endpoints;
    }
    std::string defaultId;
    IMMDevice* defaultDevice = nullptr;
    if (SUCCEEDED(enumerator->GetDefaultAudioEndpoint(flow, eConsole, &defaultDevice)) && defaultDevice != nullptr) {
        LPWSTR id = nullptr;
        if (SUCCEEDED(defaultDevice->GetId(&id)) && id != nullptr) {
            defaultId = Utf8(id);
            CoTaskMemFree(id);
        }
        defaultDevice->Release();
    }
    IMMDeviceCollection* collection = nullptr;
    UINT count = 0;
    if (FAILED(enumerator->EnumAudioEndpoints(flow, DEVICE_STATE_ACTIVE, &collection)) || collection == nullptr ||
        FAILED(collection->GetCount(&count))) {
        ReleaseAndClear(collection);
        return endpoints;
    }
    for (UINT i = 0; i < count; ++i) {
        IMMDevice* device = nullptr;
        LPWSTR id = nullptr;
        if (SUCCEEDED(collection->Item(i, &device)) && device != nullptr && SUCCEEDED(device->GetId(&id)) &&
            id != nullptr) {
            const std::string text = Utf8(id);
            endpoints.push_back({text, EndpointName(device), text == defaultId});
            CoTaskMemFree(id);
        }
        ReleaseAndClear(device);
    }
    collection->Release();
    return endpoints;
}

std::vector<PlayingApp> ListSessionApps(IMMDevice* endpoint)
{
    std::vector<PlayingApp> apps;
    IAudioSessionManager2* manager = nullptr;
    IAudioSessionEnumerator* sessions = nullptr;
    int count = 0;
    if (endpoint == nullptr ||
        FAILED(endpoint->Activate(__uuidof(IAudioSessionManager2), CLSCTX_ALL, nullptr,
                                  reinterpret_cast<void**>(&manager))) ||
        manager == nullptr || FAILED(manager->GetSessionEnumerator(&sessions)) || sessions == nullptr ||
        FAILED(sessions->GetCount(&count))) {
        ReleaseAndClear(sessions);
        ReleaseAndClear(manager);
        return apps;
    }
    for (int i = 0; i < count; ++i) {
        IAudioSessionControl* control = nullptr;
        IAudioSessionControl2* control2 = nullptr;
        DWORD processId = 0;
        AudioSessionState state = AudioSessionStateInactive;
        if (SUCCEEDED(sessions->GetSession(i, &control)) && control != nullptr &&
            SUCCEEDED(control->QueryInterface(__uuidof(IAudioSessionControl2), reinterpret_cast<void**>(&control2))) &&
            control2 != nullptr && SUCCEEDED(control2->GetProcessId(&processId)) && processId != 0 &&
            processId != GetCurrentProcessId() && SUCCEEDED(control2->GetState(&state))) {
            const std::string name = ProcessExecutable(processId);
            const auto found = std::find_if(apps.begin(), apps.end(), [&](const auto& app) { return app.name == name; });
            const bool playing = state == AudioSessionStateActive;
            if (name.empty()) {
                // A process we may not look into cannot be chosen by name.
            } else if (found == apps.end()) {
                apps.push_back({name, playing});
            } else {
                found->playing = found->playing || playing;
            }
        }
        ReleaseAndClear(control2);
        ReleaseAndClear(control);
    }
    sessions->Release();
    manager->Release();
    return apps;
}

DWORD FindProcessByExecutable(const std::string& name)
{
    const std::wstring wanted = Utf16(name);
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more != FALSE && found == 0;
         more = Process32NextW(snapshot, &entry)) {
        if (wanted == entry.szExeFile) {
            found = entry.th32ProcessID;
        }
    }
    CloseHandle(snapshot);
    return found;
}

IAudioClient* ActivateProcessLoopback(DWORD processId, HRESULT& hr)
{
    ActivationParams params{ActivationType::ProcessLoopback, {processId, LoopbackMode::IncludeTargetProcessTree}};
    PROPVARIANT blob;
    PropVariantInit(&blob);
    blob.vt = VT_BLOB;
    blob.blob.cbSize = sizeof params;
    blob.blob.pBlobData = reinterpret_cast<BYTE*>(&params);
    const ActivateFunction activate = ActivateAudioInterfaceAsyncFunction();
    if (activate == nullptr) {
        hr = E_NOTIMPL;
        return nullptr;
    }
    auto* waiter = new ActivationWaiter;
    IActivateAudioInterfaceAsyncOperation* operation = nullptr;
    hr = activate(kProcessLoopbackDevice, __uuidof(IAudioClient), &blob, waiter, &operation);
    if (FAILED(hr) || operation == nullptr) {
        waiter->Release();
        return nullptr;
    }
    IAudioClient* client = nullptr;
    const bool completed = waiter->Wait(kActivationTimeoutMs);
    waiter->Release();
    if (!completed) {
        operation->Release();
        hr = HRESULT_FROM_WIN32(ERROR_TIMEOUT);
        return nullptr;
    }
    HRESULT activated = E_FAIL;
    IUnknown* result = nullptr;
    hr = operation->GetActivateResult(&activated, &result);
    if (SUCCEEDED(hr)) {
        hr = activated;
    }
    if (SUCCEEDED(hr) && result != nullptr) {
        hr = result->QueryInterface(__uuidof(IAudioClient), reinterpret_cast<void**>(&client));
    }
    ReleaseAndClear(result);
    operation->Release();
    return SUCCEEDED(hr) ? client : nullptr;
}

std::optional<std::string> ProcessLoopbackUnavailable()
{
    static const std::optional<std::string> reason = []() -> std::optional<std::string> {
        HRESULT hr = S_OK;
        IAudioClient* client = ActivateProcessLoopback(GetCurrentProcessId(), hr);
        if (client != nullptr) {
            client->Release();
            return std::nullopt;
        }
        return "recording one application needs process loopback capture (Windows 10 version 2004 or later), "
               "which this system does not offer (" +
               HresultText(hr) + ")";
    }();
    return reason;
}
