// The logon task through Task Scheduler 2.0 (COM).
#include <winsock2.h>
#include <windows.h>
#include <oleauto.h>
#include <taskschd.h>

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>

#include "startup/startup_task.h"

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

// Fills the task definition; the step the task cannot do without that failed,
// or nullptr (the registration then ends without a message).
const char* DefineTask(ITaskDefinition* task)
{
    ComRef<IRegistrationInfo> info;
    if (SUCCEEDED(task->get_RegistrationInfo(info.Out())) && info.Get() != nullptr) {
        info->put_Author(Bstr(L"CKolvex"));
        info->put_Description(Bstr(L"Auto-start Tonvik.exe at logon"));
    }

    ComRef<ITriggerCollection> triggers;
    ComRef<ITrigger> trigger;
    if (FAILED(task->get_Triggers(triggers.Out())) || FAILED(triggers->Create(TASK_TRIGGER_LOGON, trigger.Out()))) {
        return "the logon trigger could not be made";
    }
    trigger->put_Id(Bstr(L"LogonTrigger"));
    ComRef<ILogonTrigger> logonTrigger;
    if (SUCCEEDED(trigger->QueryInterface(__uuidof(ILogonTrigger), logonTrigger.OutVoid()))) {
        logonTrigger->put_Delay(Bstr(L"PT5S"));
    }

    ComRef<IPrincipal> principal;
    if (FAILED(task->get_Principal(principal.Out()))) {
        return "the principal could not be had";
    }
    principal->put_RunLevel(TASK_RUNLEVEL_HIGHEST);

    ComRef<ITaskSettings> settings;
    if (FAILED(task->get_Settings(settings.Out()))) {
        return "the settings could not be had";
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
        return "the action could not be made";
    }
    execAction->put_Path(Bstr(LauncherPathFor(ModulePath()).c_str()));
    execAction->put_Arguments(Bstr(L"-hide"));
    return nullptr;
}

StartupTaskResult Failed(const char* what, HRESULT code)
{
    std::ostringstream text;
    text << what << " (HRESULT 0x" << std::hex << static_cast<uint32_t>(code) << ")";
    return {false, text.str()};
}

// The root task folder of a connected service, for an operation that already
// initialised COM; the failure when there is none.
StartupTaskResult OpenRootFolder(ComRef<ITaskService>& service, ComRef<ITaskFolder>& folder, bool reportWide)
{
    HRESULT result = CreateService(service);
    if (FAILED(result)) {
        if (reportWide) {
            ReportWide(L"Failed to create Task Scheduler instance with HRESULT: 0x", result);
        }
        return Failed("Task Scheduler could not be created", result);
    }
    result = Connect(service.Get());
    if (FAILED(result)) {
        if (reportWide) {
            ReportWide(L"Failed to connect to Task Scheduler service with HRESULT: 0x", result);
        }
        return Failed("Task Scheduler could not be reached", result);
    }
    result = service->GetFolder(Bstr(L"\\"), folder.Out());
    if (FAILED(result)) {
        return Failed("the root task folder could not be opened", result);
    }
    return {true, {}};
}

}  // namespace

StartupTaskResult RemoveStartupTask()
{
    const HRESULT initialised = CoInitialize(nullptr);
    if (FAILED(initialised)) {
        return Failed("COM could not be initialised", initialised);
    }
    const ComScope com;
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    if (StartupTaskResult opened = OpenRootFolder(service, folder, true); !opened.done) {
        return opened;
    }
    // A missing task is not an error.
    const HRESULT result = folder->DeleteTask(Bstr(kTaskName), 0);
    if (FAILED(result) && result != HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND)) {
        return Failed("the task could not be deleted", result);
    }
    return {true, {}};
}

bool StartupTaskExists()
{
    if (FAILED(CoInitialize(nullptr))) {
        return false;
    }
    const ComScope com;
    ComRef<ITaskService> service;
    ComRef<ITaskFolder> folder;
    ComRef<IRegisteredTask> task;
    return OpenRootFolder(service, folder, false).done && SUCCEEDED(folder->GetTask(Bstr(kTaskName), task.Out())) &&
           task.Get() != nullptr;
}

StartupTaskResult RegisterStartupTask()
{
    HRESULT result = CoInitialize(nullptr);
    if (FAILED(result)) {
        ReportNarrow("CoInitialize failed with HRESULT: 0x", result);
        return Failed("COM could not be initialised", result);
    }
    const ComScope com;
    ComRef<ITaskService> service;
    result = CreateService(service);
    if (FAILED(result)) {
        ReportNarrow("Failed to create Task Scheduler instance. HRESULT: 0x", result);
        return Failed("Task Scheduler could not be created", result);
    }
    result = Connect(service.Get());
    if (FAILED(result)) {
        ReportNarrow("Failed to connect to Task Scheduler. HRESULT: 0x", result);
        return Failed("Task Scheduler could not be reached", result);
    }
    ComRef<ITaskFolder> folder;
    result = service->GetFolder(Bstr(L"\\"), folder.Out());
    if (FAILED(result)) {
        ReportNarrow("Failed to get root folder. HRESULT: 0x", result);
        return Failed("the root task folder could not be opened", result);
    }
    ComRef<ITaskDefinition> task;
    result = service->NewTask(0, task.Out());
    if (FAILED(result)) {
        ReportNarrow("Failed to create new task. HRESULT: 0x", result);
        return Failed("the task definition could not be made", result);
    }
    if (const char* failedStep = DefineTask(task.Get()); failedStep != nullptr) {
        return {false, failedStep};
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
        return Failed("the task could not be registered", result);
    }
    std::cout << "Startup task created successfully." << std::endl;
    return {true, {}};
}
