#include <winsock2.h>
#include <windows.h>

#include <string>

#include "base/log.h"

void Log(LogLevel level, const std::string& message)
{
    const std::string line = FormatLogLine(level, message);
    const int length = MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 0), L'\0');
    if (length > 0) {
        MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()), wide.data(), length);
    }
    OutputDebugStringW(wide.c_str());
}
