#include "lighting/layout.h"

#include <json/json.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

#include "base/command_queue.h"
#include "base/log.h"
#include "screen/screen_light.h"

namespace {

// A document that cannot be read whole: its reason goes back to the host.
class LayoutRejected : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Everything a document describes, read in full before any of it is shown to
// the lighting worker. Cells start as the grid's own, key codes cleared: a
// layout replaces every key code but only the positions and indices it names.
struct LayoutDraft {
    struct Cell {
        int32_t row;
        int32_t col;
        int32_t keyCode;
        int32_t keyIndex;
    };

    Cell cells[kMaxKeyRows][kMaxKeyCols];
    std::string name;  // UTF-8, for the log
    std::u16string wideName;
    int32_t vendorId = 0;
    int32_t productId = 0;
    int32_t deviceMode = 0;
    int32_t rows = 0;
    int32_t cols = 0;
    bool hasKeys = false;  // "keys" is an array: the coordinates and the lighting command follow
};

void StartDraft(const KeyGrid& grid, LayoutDraft& draft)
{
    for (int r = 0; r < kMaxKeyRows; ++r) {
        for (int c = 0; c < kMaxKeyCols; ++c) {
            const KeyCell& cell = grid.Cell(r, c);
            draft.cells[r][c] = {cell.row, cell.col, 0, cell.keyIndex};
        }
    }
}

// JsonCpp's asInt, which the layout format is read with: null is 0, numbers
// are truncated and booleans are 0 or 1; anything else, or a number outside
// the int range, rejects the document.
int32_t ReadInt(const Json::Value& value, const std::string& path)
{
    try {
        return value.asInt();
    } catch (const Json::Exception&) {
        throw LayoutRejected(path + (value.isNumeric() ? " is out of the integer range" : " is not an integer"));
    }
}

// An object member that must be an object when present (null reads as empty).
void RequireObject(const Json::Value& value, const std::string& path)
{
    if (!value.isNull() && !value.isObject()) {
        throw LayoutRejected(path + " is not an object");
    }
}

void ReadKey(const Json::Value& key, const std::string& path, LayoutDraft& draft)
{
    RequireObject(key, path);
    if (!key.isMember("row") || !key.isMember("col")) {
        return;
    }
    const int32_t r = ReadInt(key["row"], path + ".row");
    const int32_t c = ReadInt(key["col"], path + ".col");
    if (r < 0 || r >= kMaxKeyRows || c < 0 || c >= kMaxKeyCols) {
        return;
    }
    LayoutDraft::Cell& cell = draft.cells[r][c];
    cell.row = r;
    cell.col = c;
    // A code or index that is not an integer is left out, not an error: such a
    // key is still coloured, just never sent.
    if (key["code"].isInt()) {
        cell.keyCode = key["code"].asInt();
    }
    if (key["index"].isInt()) {
        cell.keyIndex = key["index"].asInt();
    }
}

void ReadDocument(const Json::Value& root, LayoutDraft& draft)
{
    if (!root.isNull() && !root.isObject()) {
        throw LayoutRejected("the layout is not a JSON object");
    }
    const Json::Value& name = root["name"];
    if (name.isArray() || name.isObject()) {
        throw LayoutRejected("name is not a string");
    }
    draft.name = name.asString();
    draft.wideName = Utf8ToUtf16(draft.name);
    draft.vendorId = ReadInt(root["vendorId"], "vendorId");
    draft.productId = ReadInt(root["productId"], "productId");
    draft.deviceMode = ReadInt(root["deviceMode"], "deviceMode");

    const Json::Value& layouts = root["layouts"];
    RequireObject(layouts, "layouts");
    draft.rows = std::min(ReadInt(layouts["rows"], "layouts.rows"), kMaxKeyRows);
    draft.cols = std::min(ReadInt(layouts["cols"], "layouts.cols"), kMaxKeyCols);

    const Json::Value& keys = layouts["keys"];
    draft.hasKeys = keys.isArray();
    if (!draft.hasKeys) {
        return;
    }
    for (Json::ArrayIndex i = 0; i < keys.size(); ++i) {
        ReadKey(keys[i], "layouts.keys[" + std::to_string(i) + "]", draft);
    }
}

// The document, parsed whole; the first error the reader met, with where it
// met it, is the reason for a rejection.
Json::Value ParseJson(const std::string& json)
{
    Json::Value root;
    Json::Reader reader;
    if (!reader.parse(json, root)) {
        const auto errors = reader.getStructuredErrors();
        if (errors.empty()) {
            throw LayoutRejected("the layout is not valid JSON");
        }
        throw LayoutRejected("the layout is not valid JSON at byte " + std::to_string(errors.front().offset_start) +
                             ": " + errors.front().message);
    }
    return root;
}

// The grid is rewritten word by word, as the lighting worker expects of it.
void Commit(LayoutDraft& draft, LayoutTargets& targets)
{
    KeyGrid& grid = targets.grid;
    for (int r = 0; r < kMaxKeyRows; ++r) {
        for (int c = 0; c < kMaxKeyCols; ++c) {
            const LayoutDraft::Cell& from = draft.cells[r][c];
            KeyCell& cell = grid.Cell(r, c);
            cell.row = from.row;
            cell.col = from.col;
            cell.keyCode = from.keyCode;
            cell.keyIndex = from.keyIndex;
            cell.color = 0;
        }
    }
    targets.identity.m_strLayoutName = std::move(draft.wideName);
    targets.identity.m_nVendorId = draft.vendorId;
    targets.identity.m_nProductId = draft.productId;
    targets.identity.m_nDeviceMode = draft.deviceMode;
    grid.m_nKeyRows = draft.rows;
    grid.m_nKeyCols = draft.cols;
    targets.screen.m_nRows = draft.rows;
    targets.screen.m_nColumns = draft.cols;
    if (draft.hasKeys) {
        grid.ComputeSampleCoordinates();
        targets.commands.Push(CMD_START_LIGHTING);
    }
}

// The name as it may stand in a log line: one line, not too long, cut at a
// character boundary.
std::string NameForLog(const std::string& name)
{
    constexpr size_t kMaxBytes = 64;
    std::string shown;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto byte = static_cast<unsigned char>(name[i]);
        if (i >= kMaxBytes && (byte & 0xC0) != 0x80) {
            return shown + "...";
        }
        shown.push_back(byte < 0x20 || byte == 0x7F ? ' ' : static_cast<char>(byte));
    }
    return shown;
}

void LogAccepted(const LayoutDraft& draft)
{
    const int rows = std::clamp<int32_t>(draft.rows, 0, kMaxKeyRows);
    const int cols = std::clamp<int32_t>(draft.cols, 0, kMaxKeyCols);
    int keyed = 0;
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c) {
            keyed += draft.cells[r][c].keyCode > 0 ? 1 : 0;
        }
    }
    LogInfo("layout \"" + NameForLog(draft.name) + "\" accepted: " + std::to_string(draft.rows) + " x " +
            std::to_string(draft.cols) + ", keyed cells: " + std::to_string(keyed) + ", device mode " +
            std::to_string(draft.deviceMode));
}

}  // namespace

std::optional<std::string> ParseLayout(const std::string& document, LayoutTargets targets)
{
    std::unique_ptr<LayoutDraft> draft;
    std::optional<std::string> rejection;
    try {
        draft = std::make_unique<LayoutDraft>();
        StartDraft(targets.grid, *draft);
        ReadDocument(ParseJson(document), *draft);
    } catch (const std::exception& error) {
        // A LayoutRejected, or the reader's own limits (nesting too deep).
        rejection = std::string("layout rejected: ") + error.what();
    }
    if (rejection) {
        LogWarning(*rejection);
        return rejection;
    }
    Commit(*draft, targets);
    LogAccepted(*draft);
    return std::nullopt;
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
