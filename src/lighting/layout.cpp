#include "lighting/layout.h"

#include <json/json.h>

#include <algorithm>
#include <stdexcept>

#include "api/decode.h"
#include "base/command_queue.h"
#include "base/debug_output.h"
#include "screen/screen_light.h"

namespace {

void ClearKeyCodesAndColors(KeyGrid& grid)
{
    for (auto& row : grid.cells) {
        for (KeyCell& cell : row) {
            cell.keyCode = 0;
            cell.color = 0;
        }
    }
}

void StoreKey(const Json::Value& key, KeyGrid& grid)
{
    if (!key.isMember("row") || !key.isMember("col")) {
        return;
    }
    const int r = key["row"].asInt();
    const int c = key["col"].asInt();
    if (r < 0 || r >= kMaxKeyRows || c < 0 || c >= kMaxKeyCols) {
        return;
    }
    KeyCell& cell = grid.Cell(r, c);
    cell.col = c;
    cell.row = r;
    if (key.isMember("code") && key["code"].isInt()) {
        cell.keyCode = key["code"].asInt();
    }
    if (key.isMember("index") && key["index"].isInt()) {
        cell.keyIndex = key["index"].asInt();
    }
}

void ReadLayout(const Json::Value& root, LayoutTargets& targets)
{
    targets.identity.m_strLayoutName = Utf8ToUtf16(root["name"].asString());
    targets.identity.m_nVendorId = root["vendorId"].asInt();
    targets.identity.m_nProductId = root["productId"].asInt();
    targets.identity.m_nDeviceMode = root["deviceMode"].asInt();

    const Json::Value& layouts = root["layouts"];
    const int rows = layouts["rows"].asInt();
    const int cols = layouts["cols"].asInt();
    targets.grid.m_nKeyRows = std::min(rows, kMaxKeyRows);
    targets.grid.m_nKeyCols = std::min(cols, kMaxKeyCols);
    targets.screen.m_nRows = targets.grid.m_nKeyRows.load();
    targets.screen.m_nColumns = targets.grid.m_nKeyCols.load();

    const Json::Value& keys = layouts["keys"];
    if (!keys.isArray()) {
        return;
    }
    for (const Json::Value& key : keys) {
        StoreKey(key, targets.grid);
    }
    targets.grid.ComputeSampleCoordinates();
    targets.commands.Push(CMD_START_LIGHTING);
}

}  // namespace

void ParseLayout(const std::string& text, LayoutTargets targets)
{
    if (text.empty()) {
        return;
    }
    ClearKeyCodesAndColors(targets.grid);
    try {
        std::string json = UrlDecode(text);
        if (json.compare(0, 5, "data=") == 0) {
            json.erase(0, 5);
        }
        Json::Value root;
        Json::Reader reader;
        if (!reader.parse(json, root)) {
            DebugOutput("JSON解析失败: " + reader.getFormattedErrorMessages());
            return;
        }
        ReadLayout(root, targets);
    } catch (const Json::Exception& error) {
        DebugOutput(std::string("JSON处理异常: ") + error.what());
    } catch (const std::exception& error) {
        DebugOutput(std::string("解析布局数据失败: ") + error.what());
    }
}

std::u16string Utf8ToUtf16(const std::string& text)
{
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        int length = 0;
        char32_t code = 0;
        if (lead < 0x80) {
            length = 1;
            code = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            code = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            code = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            code = lead & 0x07;
        }
        bool valid = length > 0 && i + static_cast<size_t>(length) <= text.size();
        for (int k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + static_cast<size_t>(k)]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        // Overlong forms, surrogates and values past U+10FFFF are not characters.
        if (valid && ((length == 3 && code < 0x800) || (length == 4 && code < 0x10000) ||
                      (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF)) {
            valid = false;
        }
        if (!valid) {
            out.push_back(u'\uFFFD');
            ++i;
            continue;
        }
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(code));
        }
        i += static_cast<size_t>(length);
    }
    return out;
}
