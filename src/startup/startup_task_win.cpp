// The logon task through Task Scheduler 2.0 (COM).
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cstdint>
#include <iostream>
#include <string>

#include "app/startup_task.h"

// MinGW-w64's taskschd.h lacks the logon trigger's interface; this is its
// published layout.
struct ILogonTrigger : public ITrigger {
    virtual HRESULT STDMETHODCALLTYPE get_Delay(BSTR* delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Delay(BSTR delay) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_UserId(BSTR* user) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserId(BSTR user) = 0;
};
__CRT_UUID_DECL(ILogonTrigger, 0x72dade38, 0xfae4, 0x4b3e, 0xba, 0xf4, 0x5d, 0x00, 0x9a, 0xf0, 0x2b, 0x1c)

namespace {

constexpr wchar_t kTaskName[] = L"Tonvik StartupTask";

// Releases the interface when the operation leaves, whichever way it does.
template <typename T>
class ComRef {
public:
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef()
    {
        if (m_p != nullptr) {
            m_p->Release();
        }
    }
    T** Out() { return &m_p; }
    void** OutVoid() { return reinterpret_cast<void**>(&m_p); }
    T* operator->() const { return m_p; }
    T* Get() const { return m_p; }

private:
    T* m_p = nullptr;
};

// A BSTR for one call.
class Bstr {
public:
    explicit Bstr(const wchar_t* text) : m_text(SysAllocString(text)) {}
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { SysFreeString(m_text); }
    operator BSTR() const { return m_text; }

private:
    BSTR m_text;
};

// Uninitialises COM when the operation leaves, once it was initialised.
class ComScope {
public:
    ComScope() = default;
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;
    ~ComScope() { CoUninitialize(); }
};

VARIANT EmptyVariant()
{
    VARIANT value;
    VariantInit(&value);
    return value;
}

// The failing code in lower-case hexadecimal, as an unsigned 32-bit number.
void ReportNarrow(const char* text, HRESULT code)
{
    std::cerr << text << std::hex << static_cast<uint32_t>(code) << std::endl;
}

void ReportWide(const wchar_t* text, HRESULT code)
{
    std::wcerr << text << std::hex << static_cast<uint32_t>(code) << std::endl;
}

HRESULT CreateService(ComRef<ITaskService>& service)
{
    return CoCreateInstance(__uuidof(TaskScheduler), nullptr, CLSCTX_INPROC_SERVER, __uuidof(ITaskService),
                            service.OutVoid());
}

HRESULT Connect(ITaskService* service)
{
    return service->Connect(EmptyVariant(), EmptyVariant(), EmptyVariant(), EmptyVariant());
}

// The full path of the running executable; the buffer grows for long paths
// rather than registering a cut-off one.
std::wstring ModulePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// Fills the task definition; false when a step the task cannot do without
// failed (the registration then ends without a message).
bool DefineTask(ITaskDefinition* task)
{
    ComRef<IRegistrationInfo> info;
    if (SUCCEEDED(task->get_RegistrationInfo(info.Out())) && info.Get() != nullptr) {
        info->put_Author(Bstr(L"CKolvex"));
        info->put_Description(Bstr(L"Auto-start Tonvik.exe at logon"));
    }

    ComRef<ITriggerCollection> triggers;
    ComRef<ITrigger> trigger;
    if (FAILED(task->get_Triggers(triggers.Out())) || FAILED(triggers->Create(TASK_TRIGGER_LOGON, trigger.Out()))) {
        return false;
    }
    trigger->put_Id(Bstr(L"LogonTrigger"));
    ComRef<ILogonTrigger> logonTrigger;
    if (SUCCEEDED(trigger->QueryInterface(__uuidof(ILogonTrigger), logonTrigger.OutVoid()))) {
        logonTrigger->put_Delay(Bstr(L"PT5S"));
    }

    ComRef<IPrincipal> principal;
    if (FAILED(task->get_Principal(principal.Out()))) {
        return false;
    }
    principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST);

    ComRef<ITaskSettings> settings;
    if (FAILED(task->get_Settings(settings.Out()))) {
        return false;
    }
    settings->put_StopIfGoingOnBatteries(VARIANT_FALSE);
    settings->put_DisallowStartIfOnBatteries(VARIANT_FALSE);
    settings->put_AllowDemandStart(VARIANT_TRUE);
    settings->put_StartWhenAvailable(VARIANT_FALSE);
    settings->put_MultipleInstances(TASK_INSTANCES_PARALLEL);
    settings->put_ExecutionTimeLimit(Bstr(L"PT0S"));

    ComRef<IActionCollection> actions;
    ComRef<IAction> action;
    ComRef<IExecAction> execAction;
    if (FAILED(task->get_Actions(actions.Out())) || FAILED(actions->Create(TASK_ACTION_EXEC, action.Out())) ||
        FAILED(action->QueryInterface(__uuidof(IExecAction), execAction.OutVoid()))) {
        return false;
    }
    execAction->put_Path(Bstr(LauncherPathFor(ModulePath()).c_str()));
    execAction->put_Arguments(Bstr(L"-hide"));
    return true;
}

}  // namespace

void RemoveStartupTask()
{
    if (FAILED(CoInitialize(nullptr))) {
        return;
    }
    const ComScope com;
    ComRef<ITaskService> service;
    HRESULT result = CreateService(service);
    if (FAILED(result)) {
        ReportWide(L"Failed to create Task Scheduler instance with HRESULT: 0x", result);
        return;
    }
    result = Connect(service.Get());
    if (FAILED(result)) {
        ReportWide(L"Failed to connect to Task Scheduler service with HRESULT: 0x", result);
        return;
    }
    ComRef<ITaskFolder> folder;
    if (FAILED(service->GetFolder(Bstr(L"\\"), folder.Out()))) {
        return;
    }
    // A missing task is not an error.
    folder->DeleteTask(Bstr(kTaskName), 0);
}

void RegisterStartupTask()
{
    HRESULT result = CoInitialize(nullptr);
    if (FAILED(result)) {
        ReportNarrow("CoInitialize failed with HRESULT: 0x", result);
        return;
    }
    const ComScope com;
    ComRef<ITaskService> service;
    result = CreateService(service);
    if (FAILED(result)) {
        ReportNarrow("Failed to create Task Scheduler instance. HRESULT: 0x", result);
        return;
    }
    result = Connect(service.Get());
    if (FAILED(result)) {
        ReportNarrow("Failed to connect to Task Scheduler. HRESULT: 0x", result);
        return;
    }
    ComRef<ITaskFolder> folder;
    result = service->GetFolder(Bstr(L"\\"), folder.Out());
    if (FAILED(result)) {
        ReportNarrow("Failed to get root folder. HRESULT: 0x", result);
        return;
    }
    ComRef<ITaskDefinition> task;
    result = service->NewTask(0, task.Out());
    if (FAILED(result)) {
        ReportNarrow("Failed to create new task. HRESULT: 0x", result);
        return;
    }
    if (!DefineTask(task.Get())) {
        return;
    }

    VARIANT securityDescriptor;
    VariantInit(&securityDescriptor);
    securityDescriptor.vt = VT_BSTR;
    securityDescriptor.bstrVal = SysAllocString(L"");
    result = folder->RegisterTaskDefinition(Bstr(kTaskName), task.Get(), TASK_CREATE_OR_UPDATE, EmptyVariant(),
                                            EmptyVariant(), TASK_LOGON_INTERACTIVE_TOKEN, securityDescriptor, nullptr);
    VariantClear(&securityDescriptor);
    if (FAILED(result)) {
        ReportNarrow("Failed to register task. HRESULT: 0x", result);
        return;
    }
    std::cout << "Startup task created successfully." << std::endl;
}
