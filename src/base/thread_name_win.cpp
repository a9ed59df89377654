// SetThreadDescription came with Windows 10 1607, and MinGW's import library
// may lack it: it is looked up in kernel32 at run time.
#include <winsock2.h>
#include <windows.h>

#include <string>

#include "base/thread_name.h"

namespace {

using SetThreadDescriptionFunction = HRESULT(WINAPI*)(HANDLE, PCWSTR);

SetThreadDescriptionFunction LookUpSetThreadDescription()
{
    const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    if (kernel == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<SetThreadDescriptionFunction>(
        reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
}

}  // namespace

void NameCurrentThread(const char* name)
{
    static const SetThreadDescriptionFunction setDescription = LookUpSetThreadDescription();
    if (setDescription == nullptr) {
        return;
    }
    // The names are ASCII: each byte is its own UTF-16 unit.
    const std::string narrow(name);
    const std::wstring wide(narrow.begin(), narrow.end());
    setDescription(GetCurrentThread(), wide.c_str());
}
