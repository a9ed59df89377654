// The layout parser through both layout routes, as a host sends a layout: the
// first byte picks the route (even: the layout route, percent-encoded; odd:
// the Base64 route), the rest is the layout document. Whatever the layout
// leaves behind must still be a grid the renderer can sample.
#include <json/json.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "api/routes.h"
#include "audio/visualizer_image.h"
#include "api_state.h"
#include "fuzz_check.h"

namespace {

bool IsJsonObject(const std::string& text)
{
    Json::Value root;
    Json::Reader reader;
    return reader.parse(text, root) && root.isObject();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const std::string document(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string target = data[0] % 2 == 0
                                   ? "/api/keyboard/musiceffect/layout?layout=" + PercentEncode(document)
                                   : "/api/keyboard/layout/base64?data=" + PercentEncode(Base64Encode(document));

    const auto state = std::make_unique<FuzzApiState>();
    const ApiTargets api = state->Targets();
    const std::string reply = DispatchRequest(api, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    Require(IsJsonObject(reply), "the layout reply is not a JSON object");
    Require(api.effectRunning == 0, "a layout request did not pause the effect");
    const KeyGrid& grid = state->grid;
    Require(grid.m_nKeyRows <= kMaxKeyRows && grid.m_nKeyCols <= kMaxKeyCols, "grid larger than its cells");
    for (int r = 0; r < grid.ActiveRows(); ++r) {
        Require(grid.m_rowSample[r] >= 0 && grid.m_rowSample[r] < kPictureHeight, "row samples outside the picture");
    }
    for (int c = 0; c < grid.ActiveCols(); ++c) {
        Require(grid.m_colSample[c] >= 0 && grid.m_colSample[c] < kPictureWidth, "column samples outside the picture");
    }
    return 0;
}
