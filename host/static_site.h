#pragma once

#include <filesystem>
#include <string>
#include <string_view>

// The web console's files, read-only: "/" and everything below it from the
// web directory, "/layouts/..." from the layouts directory, nothing else.
// Decides the reply to one request head; the socket side is WebServer's.
class StaticSite {
public:
    StaticSite(std::filesystem::path webDir, std::filesystem::path layoutsDir);

    // The whole reply (status line, headers, body) to a request head (the
    // bytes up to its blank line): 200 with the file; 400 for a request line
    // that is not HTTP; 405 for any method but GET and HEAD; 403 for a path
    // with "..", a backslash or an encoded NUL; 404 for anything that is not
    // a regular file of a known type inside the two directories (symbolic
    // links that lead out of them included).
    std::string Answer(std::string_view head) const;

    // The reply to a head that grew past the size a request may have.
    static std::string TooLarge();

private:
    std::filesystem::path m_webDir;
    std::filesystem::path m_layoutsDir;
};

// Content types by file extension; empty for a type the site does not serve.
std::string_view ContentTypeFor(const std::filesystem::path& file);
