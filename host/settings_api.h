#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host_choices.h"
#include "web_request.h"

// Where the settings API finds and keeps things.
struct SettingsPlaces {
    std::string confPath;                // host.conf, rewritten on every change
    std::string storedLayoutsDir;        // the layouts the user uploads
    std::filesystem::path bundledDir;    // the bundled layouts and their index.json
};

// "user-<16 hex>.json": the names of the layouts the host stores.
bool IsStoredFileName(const std::string& name);

// The host's settings API, beside the web console on the same loopback port
// (the web server's thread calls it). JSON in and out:
//   GET    /api/settings              the current choices and the layouts to choose from
//                                     ("layout": null until one is chosen)
//   POST   /api/settings              changes any of layout, mode, sensitivity, background, brightness,
//                                     listen, delay
//   GET    /api/settings/layout       the current layout document, for drawing the keys in place
//                                     (404 while there is none)
//   POST   /api/layouts               a layout document: tried on the daemon, then stored and chosen
//   DELETE /api/layouts/user-<16 hex> removes a stored layout that is not in use
// A change is saved to host.conf (atomically, comments and other lines kept;
// a new one, and its directory, made with HostConfHeader) before it is
// applied, so a change that cannot be saved changes nothing.
// Bad values get 400, a layout the daemon rejects 422 with its reason, no
// daemon to try an upload on 503, a failed save 500; nothing changes then.
// Stored layouts get names the host makes; no name from a request is used as
// a path. At most kMaxStoredLayouts are kept: storing one more removes the
// one used longest ago (never the one in use). The layouts offered are read
// once, at construction, and then kept up to date by the API's own changes.
// The Host and Origin checks are the caller's (WebSite).
class SettingsApi {
public:
    // layoutRef: the current layout as host.conf names it (a bundled name, or
    // a file path), or as the command line gave it; empty while there is none.
    SettingsApi(HostChoices& choices, SettingsPlaces places, std::string layoutRef);

    std::string Answer(const WebRequest& request);

    // How long an upload waits for the daemon's verdict.
    static constexpr int kTrialTimeoutMs = 8000;
    static constexpr size_t kMaxStoredLayouts = 32;

private:
    struct Layout {
        std::string id;  // what host.conf says: a bundled name, or "layouts/<stored file>"
        std::string name;
        std::filesystem::path file;
        std::filesystem::file_time_type used{};  // stored ones: when last stored or chosen
    };
    // The bundled layouts of the index, and the stored ones in the order of their ids.
    void ReadLayouts();
    const Layout* FindLayout(const std::string& id) const;
    std::vector<Layout>::iterator StoredLayout(const std::string& id);
    void SortStored();
    // A stored layout was stored or chosen: it is the last to go.
    void MarkUsed(const std::string& id);
    void RemoveLeastUsedStored();
    std::string SettingsJson() const;
    std::string Change(std::string_view body);
    std::string Upload(std::string_view body);
    std::string Remove(std::string_view name);
    // Writes the values into host.conf; an error reply when that failed.
    std::optional<std::string> Save(const std::vector<std::pair<std::string, std::string>>& values);

    HostChoices& m_choices;
    SettingsPlaces m_places;
    std::string m_layoutRef;
    std::string m_layoutName;  // the current layout's own "name", read when it changes
    std::vector<Layout> m_bundled;
    std::vector<Layout> m_stored;
};
