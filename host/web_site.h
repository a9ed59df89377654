#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings_api.h"
#include "static_site.h"

// Everything the host's web server answers: the console's files and the
// settings API under /api/. Guards
// both as trusted local web interfaces do, since the API writes the user's
// files: a request whose Host header is not this server's own address
// (127.0.0.1 or localhost, with its port) is refused, so a page whose DNS name
// is made to point at 127.0.0.1 gets nothing; a request that changes
// anything must come from the console's own origin (an Origin header of this
// server; browsers send it with every POST, other clients must add it).
// Refused requests get 403 and change nothing.
class WebSite {
public:
    WebSite(const StaticSite& files, SettingsApi& settings, uint16_t port);

    // The whole reply to one request (its head up to the blank line, and its body).
    std::string Answer(std::string_view head, std::string_view body);

private:
    const StaticSite& m_files;
    SettingsApi& m_settings;
    uint16_t m_port;
};
