#include "lighting/effect_params.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "base/clock.h"
#include "audio/visualizer.h"
#include "lighting/key_grid.h"
#include "screen/screen_light.h"

namespace {

void AppendInteger(std::string& out, int64_t value)
{
    char digits[24];
    const auto end = std::to_chars(std::begin(digits), std::end(digits), value).ptr;
    out.append(digits, end);
}

}  // namespace

int32_t ParseStoiField(const std::string& field)
{
    size_t i = 0;
    while (i < field.size() && std::isspace(static_cast<unsigned char>(field[i])) != 0) {
        ++i;
    }
    bool negative = false;
    if (i < field.size() && (field[i] == '+' || field[i] == '-')) {
        negative = field[i] == '-';
        ++i;
    }
    const size_t firstDigit = i;
    int64_t magnitude = 0;
    bool overflow = false;
    for (; i < field.size() && field[i] >= '0' && field[i] <= '9'; ++i) {
        if (!overflow) {
            magnitude = magnitude * 10 + (field[i] - '0');
            overflow = magnitude > int64_t{1} << 32;
        }
    }
    if (i == firstDigit) {
        throw std::invalid_argument("invalid stoi argument");
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (overflow || value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
        throw std::out_of_range("stoi argument out of range");
    }
    return static_cast<int32_t>(value);
}

void PushEffectToVisualizer(const EffectParams& params, Visualizer& visualizer)
{
    const int32_t mode = params.mode;
    visualizer.SetBarStyle(mode == kRippleMode ? 0 : mode);
    visualizer.SetGain(static_cast<int32_t>(static_cast<uint32_t>(params.amplitude.load()) * 20u));
    visualizer.SetBackStyle(params.backMode.load());
    visualizer.SetBackBrightness(params.backModeBrightness.load());
    visualizer.SetActive(true);
}

void ApplyEffectParams(const std::vector<std::string>& fields, EffectParams& params, Visualizer& visualizer,
                       PauseFn pause)
{
    if (fields.size() < 5) {
        return;
    }
    params.mode = ParseStoiField(fields[0]);
    params.amplitude = ParseStoiField(fields[1]);
    params.backMode = ParseStoiField(fields[2]);
    params.backModeBrightness = ParseStoiField(fields[3]);
    params.screenToDevice = ParseStoiField(fields[4]);

    // The frame loop idles while inactive, so it never analyses with a mix of
    // old and new settings.
    visualizer.SetActive(false);
    pause(150);

    PushEffectToVisualizer(params, visualizer);
}

std::string FormatColor(uint32_t color)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02X%02X%02X", color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
    return text;
}

std::string BuildEffectJson(const KeyGrid& grid, const EffectParams& params, Visualizer& visualizer,
                            ScreenLight& screen)
{
    if (grid.m_nKeyRows < 2 || grid.m_nKeyCols < 2) {
        return {};
    }

    const int32_t mode = params.mode;
    const bool screenMode = mode == kScreenMode;
    screen.SetEnabled(screenMode);
    visualizer.SetActive(!screenMode);

    // A host asks for this several times a second. Written directly, in the
    // layout the JSON library gives (members sorted by name, nothing between
    // tokens), it costs a twentieth of building a document tree and printing it.
    std::string json;
    json.reserve(64 + 80 * static_cast<size_t>(grid.ActiveCols() * grid.ActiveRows()));
    json += "{\"amplitude\":";
    AppendInteger(json, params.amplitude.load());
    json += ",\"backmode\":";
    AppendInteger(json, params.backMode.load());
    json += ",\"backmodebrightness\":";
    AppendInteger(json, params.backModeBrightness.load());
    json += ",\"keys\":[";
    bool first = true;
    for (int c = 0; c < grid.ActiveCols(); ++c) {
        for (int r = 0; r < grid.ActiveRows(); ++r) {
            const KeyCell& cell = grid.Cell(r, c);
            const int32_t keyCode = cell.keyCode;
            if (keyCode < 0) {
                continue;
            }
            json += first ? "{\"col\":" : ",{\"col\":";
            first = false;
            AppendInteger(json, cell.col.load());
            json += ",\"color\":\"";
            json += FormatColor(cell.color);
            json += "\",\"keyCode\":";
            AppendInteger(json, keyCode);
            json += ",\"keyIndex\":";
            AppendInteger(json, cell.keyIndex.load());
            json += ",\"row\":";
            AppendInteger(json, cell.row.load());
            json += '}';
        }
    }
    json += "],\"mode\":";
    AppendInteger(json, mode);
    json += ",\"timestamp\":";
    AppendInteger(json, CalendarSeconds());
    json += '}';
    return json;
}
