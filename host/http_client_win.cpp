// The HTTP client over WinHTTP (which Wine implements too): one session for
// the process's client, one connection and request per GET (the daemon
// closes each connection after its reply). No proxy is ever used.
#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <string>

#include "http_client.h"

namespace {

struct InternetCloser {
    void operator()(HINTERNET handle) const { WinHttpCloseHandle(handle); }
};
using Internet = std::unique_ptr<void, InternetCloser>;

std::wstring Widened(const std::string& text)
{
    return std::wstring(text.begin(), text.end());  // targets are percent-encoded ASCII
}

class WinHttpClient : public HttpClient {
public:
    explicit WinHttpClient(HINTERNET session) : m_session(session) {}

    std::optional<HttpReply> Get(uint16_t port, const std::string& target, int timeoutMs) override
    {
        WinHttpSetTimeouts(m_session.get(), timeoutMs, timeoutMs, timeoutMs, timeoutMs);
        const Internet connection(WinHttpConnect(m_session.get(), L"127.0.0.1", port, 0));
        if (!connection) {
            return std::nullopt;
        }
        const std::wstring path = Widened(target);
        const Internet request(WinHttpOpenRequest(connection.get(), L"GET", path.c_str(), nullptr, WINHTTP_NO_REFERER,
                                                  WINHTTP_DEFAULT_ACCEPT_TYPES, 0));
        if (!request || !WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                                            0, 0) ||
            !WinHttpReceiveResponse(request.get(), nullptr)) {
            return std::nullopt;
        }
        HttpReply reply;
        DWORD status = 0;
        DWORD size = sizeof status;
        WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                            WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
        reply.status = static_cast<long>(status);
        wchar_t type[256] = {};
        size = sizeof type - sizeof type[0];
        if (WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_TYPE, WINHTTP_HEADER_NAME_BY_INDEX, type, &size,
                                WINHTTP_NO_HEADER_INDEX)) {
            for (const wchar_t* c = type; *c != 0; ++c) {
                reply.contentType += static_cast<char>(*c < 0x80 ? *c : '?');
            }
        }
        for (;;) {
            char buffer[16384];
            DWORD read = 0;
            if (!WinHttpReadData(request.get(), buffer, sizeof buffer, &read)) {
                return std::nullopt;
            }
            if (read == 0) {
                break;
            }
            if (reply.body.size() + read > kMaxReplyBytes) {
                return std::nullopt;
            }
            reply.body.append(buffer, read);
        }
        return reply;
    }

private:
    Internet m_session;
};

}  // namespace

std::unique_ptr<HttpClient> OpenHttpClient()
{
    HINTERNET session = WinHttpOpen(L"tonvik-host", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    if (session == nullptr) {
        return nullptr;
    }
    return std::make_unique<WinHttpClient>(session);
}
