#include "web_site.h"

#include <optional>

#include "web_request.h"

namespace {

std::string Refused(const char* why)
{
    return WebReply("403 Forbidden", "text/plain; charset=utf-8", std::string("403 Forbidden: ") + why + "\n");
}

}  // namespace

WebSite::WebSite(const StaticSite& files, SettingsApi& settings, uint16_t port)
    : m_files(files), m_settings(settings), m_port(port)
{
}

std::string WebSite::Answer(std::string_view head, std::string_view body)
{
    const std::optional<WebRequest> request = ParseWebRequest(head, body);
    if (!request) {
        return m_files.Answer(head);
    }
    if (!HostIsOurs(head, m_port)) {
        return Refused("the Host header does not name this server");
    }
    if (!request->path.starts_with("/api/")) {
        return m_files.Answer(head);
    }
    const bool changes = request->method != "GET" && request->method != "HEAD";
    if (changes && !OriginIsOurs(head, m_port)) {
        return Refused("changes are taken only from the console's own page");
    }
    return m_settings.Answer(*request);
}
