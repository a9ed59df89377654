#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <string>

#include "base/debug_output.h"

void DebugOutput(const std::string& text)
{
    // Short lines only ("music: %d \n"): a stack buffer keeps the tick free of
    // allocations; longer text is cut rather than dropped.
    wchar_t wide[256];
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(std::min<size_t>(text.size(), 255)),
                                           wide, 255);
    wide[length > 0 ? length : 0] = L'\0';
    OutputDebugStringW(wide);
}
