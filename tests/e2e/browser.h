#pragma once

#include <json/json.h>
#include <sys/types.h>

#include <string>

// Debian's headless Chromium, driven over the DevTools protocol on a pipe
// (--remote-debugging-pipe: it reads commands on its fd 3 and writes replies
// and events on its fd 4, each message JSON ended by a NUL byte). Started with
// a fresh profile of its own and stopped by its pid, with every process it
// started, when the object goes, also when a test fails.
class Browser {
public:
    Browser() = default;
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    // Starts /usr/bin/chromium; false with Error() when it does not answer.
    bool Start();
    const std::string& Error() const { return m_error; }
    // Chromium's own standard error, for failure messages.
    std::string Log() const;

    // A new tab showing the URL, attached: its target and session ids.
    struct Page {
        std::string target;
        std::string session;
    };
    bool Open(const std::string& url, Page& page);
    bool Close(const Page& page);
    // Brings the tab to the front; the tab in front before is hidden then.
    bool Activate(const Page& page);

    // The value of a JavaScript expression in the page (promises awaited);
    // null when it threw or the browser did not answer.
    Json::Value Evaluate(const Page& page, const std::string& expression);
    // Evaluates the expression every 100 ms until it is true; false on time-out.
    bool WaitFor(const Page& page, const std::string& expression, int timeoutMs);
    // Hands the files to an <input type="file"> found by the selector.
    bool SetFiles(const Page& page, const std::string& selector, const std::string& path);
    // A PNG of the page as it is shown, written to the path.
    bool Screenshot(const Page& page, const std::string& path);

    // One command and its result; null with Error() when it failed.
    Json::Value Call(const std::string& method, const Json::Value& params, const std::string& session = {},
                     int timeoutMs = 10000);

private:
    bool Send(const Json::Value& message);
    // The next whole message from the browser, or false after timeoutMs.
    bool Receive(Json::Value& message, int timeoutMs);
    void Stop();

    pid_t m_pid = -1;
    int m_toBrowser = -1;
    int m_fromBrowser = -1;
    std::string m_profile;
    std::string m_buffer;
    std::string m_error;
    int m_nextId = 1;
};
