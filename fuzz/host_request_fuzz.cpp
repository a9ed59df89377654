// The host's request reader as its web server uses it: the head (up to the
// blank line) split into method, path and headers, the body's announced
// length judged, the Host and Origin checks made, and the whole answered by
// the console's files and a settings API that keeps nothing (no place to
// keep it, no daemon to try a layout on).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_check.h"
#include "web_request.h"
#include "web_server.h"
#include "web_site.h"

namespace {

bool Inside(std::string_view part, std::string_view whole)
{
    return part.empty() || (part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    const size_t end = input.find("\r\n\r\n");
    const std::string_view head = std::string_view(input).substr(0, end == std::string::npos ? size : end + 4);
    const std::string_view body = std::string_view(input).substr(head.size());

    if (const auto request = ParseWebRequest(head, body)) {
        Require(Inside(request->method, head) && Inside(request->path, head), "the request line lies outside the head");
        Require(request->path.find_first_of("?#") == std::string_view::npos, "the path keeps its query");
    }
    for (const char* name : {"Host", "Origin", "Content-Length", "Transfer-Encoding"}) {
        if (const auto value = HeaderValue(head, name)) {
            Require(Inside(*value, head), "a header value lies outside the head");
        }
    }
    const BodyLength length = AnnouncedBodyLength(head, kMaxWebBodyBytes);
    Require(length.refusal != nullptr || length.bytes <= kMaxWebBodyBytes, "a body over the cap is announced");
    Require(!HostIsOurs(head, 9190) || HeaderValue(head, "Host").has_value(), "a missing Host passes");
    Require(!OriginIsOurs(head, 9190) || HeaderValue(head, "Origin")->starts_with("http://"), "a foreign origin passes");

    static const StaticSite files("/nonexistent/web", "/nonexistent/layouts");
    static HostChoices choices({"", "", EffectSettings{}});
    static SettingsApi settings(choices, {"", "", "/nonexistent/layouts"}, "");
    WebSite site(files, settings, 9190);
    const std::string reply = site.Answer(head, body);
    Require(reply.starts_with("HTTP/1.1 "), "a reply without a status line");
    return 0;
}
