#include <winsock2.h>
#include <windows.h>

#include <string>

#include "base/log.h"

namespace {

HANDLE g_copyTo = nullptr;  // set before other threads start, read only after

}  // namespace

void SetLogCopyToRedirectedStandardError(bool copy)
{
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    const DWORD type = error == nullptr || error == INVALID_HANDLE_VALUE ? FILE_TYPE_UNKNOWN : GetFileType(error);
    g_copyTo = copy && (type == FILE_TYPE_DISK || type == FILE_TYPE_PIPE) ? error : nullptr;
}

void Log(LogLevel level, const std::string& message)
{
    const std::string line = FormatLogLine(level, message);
    if (g_copyTo != nullptr) {
        // One WriteFile per line: lines of two threads do not interleave.
        DWORD written = 0;
        WriteFile(g_copyTo, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    }
    const int length = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), length);
    }
    OutputDebugStringW(wide.c_str());
}
