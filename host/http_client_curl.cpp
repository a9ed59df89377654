// The HTTP client over libcurl: one easy handle, reused for every request
// (the daemon closes each connection after its reply, so nothing is kept
// alive between them). The library's global set-up is done once per process.
#include <curl/curl.h>

#include "http_client.h"

namespace {

struct EasyCloser {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

size_t AppendBody(char* data, size_t size, size_t count, void* userdata)
{
    auto* body = static_cast<std::string*>(userdata);
    const size_t bytes = size * count;
    if (body->size() + bytes > kMaxReplyBytes) {
        return 0;  // curl then fails the transfer
    }
    body->append(data, bytes);
    return bytes;
}

class CurlHttpClient : public HttpClient {
public:
    explicit CurlHttpClient(CURL* handle) : m_handle(handle) {}

    std::optional<HttpReply> Get(uint16_t port, const std::string& target, int timeoutMs) override
    {
        CURL* handle = m_handle.get();
        curl_easy_reset(handle);
        const std::string url = "http://127.0.0.1:" + std::to_string(port) + target;
        HttpReply reply;
        curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
        curl_easy_setopt(handle, CURLOPT_NOPROXY, "*");
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(handle, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
        curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(timeoutMs));
        curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, AppendBody);
        curl_easy_setopt(handle, CURLOPT_WRITEDATA, &reply.body);
        if (curl_easy_perform(handle) != CURLE_OK) {
            return std::nullopt;
        }
        curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &reply.status);
        char* type = nullptr;
        if (curl_easy_getinfo(handle, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type != nullptr) {
            reply.contentType = type;
        }
        return reply;
    }

private:
    std::unique_ptr<CURL, EasyCloser> m_handle;
};

}  // namespace

std::unique_ptr<HttpClient> OpenHttpClient()
{
    // Global to the process and not thread-safe: once, and never undone
    // (curl_global_cleanup at exit would race with a handle still in use).
    static const bool ready = curl_global_init(CURL_GLOBAL_NOTHING) == CURLE_OK;
    if (!ready) {
        return nullptr;
    }
    CURL* handle = curl_easy_init();
    if (handle == nullptr) {
        return nullptr;
    }
    return std::make_unique<CurlHttpClient>(handle);
}
