#pragma once

#include <string_view>

// The request line: the first line of the request text without its line end,
// after any empty lines a client may send ahead of it. Routing and the
// pre-flight test look at nothing else, so a header or a layout that happens to
// contain a route path or "OPTIONS" changes nothing.
inline std::string_view RequestLine(std::string_view request)
{
    const size_t start = request.find_first_not_of("\r\n");
    if (start == std::string_view::npos) {
        return {};
    }
    request.remove_prefix(start);
    return request.substr(0, request.find_first_of("\r\n"));
}

// The method token at the start of the request line ("GET", "OPTIONS", ...).
inline std::string_view RequestMethod(std::string_view request)
{
    const std::string_view line = RequestLine(request);
    return line.substr(0, line.find(' '));
}
