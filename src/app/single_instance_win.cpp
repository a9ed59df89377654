#include <winsock2.h>
#include <windows.h>

#include "app/single_instance.h"

// A named mutex, created owned; the handle stays open for the life of the
// process and the system drops it however the process ends.
SingleInstance::SingleInstance()
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"Kolvex-20250418");
    if (mutex != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        m_bAnotherRunning = true;
        return;
    }
    if (mutex != nullptr) {
        m_handle = reinterpret_cast<intptr_t>(mutex);
    }
}

SingleInstance::~SingleInstance()
{
    if (m_handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(m_handle));
    }
}
