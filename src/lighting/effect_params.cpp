#include "lighting/effect_params.h"

#include <json/json.h>

#include <cctype>
#include <cstdio>
#include <limits>
#include <stdexcept>

#include "base/clock.h"
#include "audio/visualizer.h"
#include "lighting/key_grid.h"
#include "screen/screen_light.h"

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
    visualizer.m_nBarStyle = mode == kRippleMode ? 0 : mode;
    visualizer.m_nGain = static_cast<int32_t>(static_cast<uint32_t>(params.amplitude.load()) * 20u);
    visualizer.m_nBackStyle = params.backMode.load();
    visualizer.m_nBackBrightness = params.backModeBrightness.load();
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
    const int rows = grid.m_nKeyRows;
    const int cols = grid.m_nKeyCols;
    if (rows < 2 || cols < 2) {
        return {};
    }

    Json::Value root(Json::objectValue);
    root["timestamp"] = Json::Int64{CalendarSeconds()};
    const int32_t mode = params.mode;
    root["mode"] = mode;
    root["amplitude"] = params.amplitude.load();
    root["backmode"] = params.backMode.load();
    root["backmodebrightness"] = params.backModeBrightness.load();

    const bool screenMode = mode == kScreenMode;
    screen.SetEnabled(screenMode);
    visualizer.SetActive(!screenMode);

    Json::Value& keys = root["keys"] = Json::Value(Json::arrayValue);
    for (int c = 0; c < grid.ActiveCols(); ++c) {
        for (int r = 0; r < grid.ActiveRows(); ++r) {
            const KeyCell& cell = grid.Cell(r, c);
            const int32_t keyCode = cell.keyCode;
            if (keyCode < 0) {
                continue;
            }
            Json::Value key(Json::objectValue);
            key["row"] = cell.row.load();
            key["col"] = cell.col.load();
            key["keyCode"] = keyCode;
            key["keyIndex"] = cell.keyIndex.load();
            key["color"] = FormatColor(cell.color);
            keys.append(std::move(key));
        }
    }

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}
