#include "browser_win.h"

#include <winsock2.h>
#include <windows.h>
#include <shellapi.h>

#include <cstdlib>

#include "base/log.h"
#include "launcher_window_win.h"

namespace {

constexpr char kTestBrowserLogVariable[] = "TONVIK_TEST_BROWSER_LOG";

const std::string& TestBrowserLog()
{
    static const std::string path = [] {
        const char* value = std::getenv(kTestBrowserLogVariable);
        if (value == nullptr || *value == '\0') {
            return std::string();
        }
        LogWarning(std::string(kTestBrowserLogVariable) + "=" + value +
                   ": the console's address goes to that file, not to a browser (tests only)");
        return std::string(value);
    }();
    return path;
}

}  // namespace

void OpenInBrowser(const std::string& url)
{
    if (const std::string& log = TestBrowserLog(); !log.empty()) {
        const HANDLE file = CreateFileW(WideFromUtf8(log).c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                                        OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        const std::string line = url + "\n";
        DWORD written = 0;
        if (file == INVALID_HANDLE_VALUE ||
            !WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr)) {
            LogError("cannot note " + url + " in " + log);
        }
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return;
    }
    const auto result = reinterpret_cast<INT_PTR>(
        ShellExecuteW(nullptr, L"open", WideFromUtf8(url).c_str(), nullptr, nullptr, SW_SHOWNORMAL));
    // ShellExecute's own convention: 32 and below is a failure.
    if (result <= 32) {
        LogError("cannot open " + url + " in a browser (error " + std::to_string(result) + ")");
    }
}
