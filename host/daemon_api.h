#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/api_contract.h"
#include "host_settings.h"
#include "http_client.h"

// One key as the effect route reports it.
struct ReportedKey {
    int row = 0;
    int col = 0;
    int keyCode = 0;
    int keyIndex = 0;
    uint32_t rgb = 0;  // 0xRRGGBB

    // The layout's part of a key, without its colour.
    bool SamePlace(const ReportedKey& other) const
    {
        return row == other.row && col == other.col && keyCode == other.keyCode && keyIndex == other.keyIndex;
    }
};

// What an effect reply says. An "empty" reply (a layout of fewer than two
// rows or columns) has no keys; so has any reply that is no effect JSON.
struct EffectState {
    bool isEffect = false;
    int mode = 0;
    std::vector<ReportedKey> keys;
};

EffectState ParseEffectReply(const std::string& body);

// True when both replies describe the same keys in the same places.
bool SameLayout(const EffectState& a, const EffectState& b);

// The text of an effect reply's key array with every colour value left out,
// into `places` (its storage reused): two replies of one daemon have the same
// text exactly when they report the same keys in the same places. A host
// compares these on every poll instead of parsing the whole reply. False
// (and `places` empty) when the body has no key array.
bool KeyPlacesText(const std::string& body, std::string& places);

// The daemon's API as a host uses it, over an HttpClient.
class DaemonApi {
public:
    explicit DaemonApi(HttpClient& http) : m_http(http) {}

    // The port the daemon answers on: only `port` when it is not 0, else the
    // first of 9191-9199. std::nullopt when none answers as the daemon does.
    std::optional<uint16_t> Find(uint16_t port);

    enum class Upload { Accepted, Rejected, NoReply };
    struct UploadResult {
        Upload outcome = Upload::NoReply;
        std::string error;  // for Rejected: the route's error text
    };
    // Uploads the layout document through the layout route.
    UploadResult UploadLayout(uint16_t port, const std::string& layoutJson);

    // The effect route, with the parameters when given (which take the daemon
    // about 150 ms to apply). The reply body, or std::nullopt when none came.
    std::optional<std::string> Effect(uint16_t port, const EffectSettings* settings);

    enum class Choice { Accepted, Refused, NoReply };
    struct ChoiceResult {
        Choice outcome = Choice::NoReply;
        std::string error;  // for Refused: the route's error text
    };
    // The source route: what the daemon records and how late.
    ChoiceResult ChooseSource(uint16_t port, const CaptureSource& listen, const CaptureDelay& delay);

private:
    HttpClient& m_http;
};

// The target of the layout route for a document, and whether it fits in the
// one request the daemon reads (131071 bytes).
std::string LayoutTarget(const std::string& layoutJson);
constexpr size_t kMaxRequestBytes = api_contract::kRequestCap;
// True when the document's layout request, with a client's headers, fits.
bool LayoutFitsOneRequest(const std::string& layoutJson);
