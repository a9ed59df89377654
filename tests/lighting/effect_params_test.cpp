#include "lighting/effect_params.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <regex>
#include <stdexcept>

#include "audio/visualizer.h"
#include "lighting/key_grid.h"
#include "screen/screen_light.h"

namespace {

std::string ErrorOf(const std::string& field)
{
    try {
        ParseStoiField(field);
    } catch (const std::exception& error) {
        return error.what();
    }
    return "no error";
}

TEST(ParseStoiField, ReadsLikeStoi)
{
    EXPECT_EQ(ParseStoiField("19abc"), 19);
    EXPECT_EQ(ParseStoiField("07"), 7);
    EXPECT_EQ(ParseStoiField("+5"), 5);
    EXPECT_EQ(ParseStoiField("-5"), -5);
    EXPECT_EQ(ParseStoiField("\t 42"), 42);
    EXPECT_EQ(ParseStoiField("2147483647"), 2147483647);
    EXPECT_EQ(ParseStoiField("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(ParseStoiField("000000000000000000012"), 12);
}

TEST(ParseStoiField, FailuresCarryTheFixedMessages)
{
    EXPECT_THROW(ParseStoiField("x"), std::invalid_argument);
    EXPECT_EQ(ErrorOf("x"), "invalid stoi argument");
    EXPECT_EQ(ErrorOf(""), "invalid stoi argument");
    EXPECT_EQ(ErrorOf("-"), "invalid stoi argument");
    EXPECT_EQ(ErrorOf("+-1"), "invalid stoi argument");
    EXPECT_THROW(ParseStoiField("2147483648"), std::out_of_range);
    EXPECT_EQ(ErrorOf("2147483648"), "stoi argument out of range");
    EXPECT_EQ(ErrorOf("-2147483649"), "stoi argument out of range");
    EXPECT_EQ(ErrorOf("99999999999999999999999999"), "stoi argument out of range");
}

class Effect : public ::testing::Test {
protected:
    std::unique_ptr<Visualizer> visualizer = std::make_unique<Visualizer>();
    std::unique_ptr<KeyGrid> grid = std::make_unique<KeyGrid>();
    ScreenLight screen;
    EffectParams params;
};

TEST_F(Effect, AppliesAndPushesIntoTheVisualizer)
{
    ApplyEffectParams({"3", "5", "1", "80", "1", "ignored"}, params, *visualizer);
    EXPECT_EQ(params.mode, 3);
    EXPECT_EQ(params.amplitude, 5);
    EXPECT_EQ(params.backMode, 1);
    EXPECT_EQ(params.backModeBrightness, 80);
    EXPECT_EQ(params.screenToDevice, 1);
    EXPECT_EQ(visualizer->BarStyle(), 3);
    EXPECT_EQ(visualizer->Gain(), 100);
    EXPECT_EQ(visualizer->BackStyle(), 1);
    EXPECT_EQ(visualizer->BackBrightness(), 80);
    EXPECT_TRUE(visualizer->Active());

    ApplyEffectParams({"13", "60", "0", "100", "0"}, params, *visualizer);
    EXPECT_EQ(params.mode, 13);
    EXPECT_EQ(visualizer->BarStyle(), 0);
    EXPECT_EQ(visualizer->Gain(), 1200);
}

TEST_F(Effect, FailedFieldKeepsLaterFieldsAndLeavesTheVisualizerAlone)
{
    visualizer->SetBarStyle(18);
    EXPECT_THROW(ApplyEffectParams({"5", "x", "9", "9", "9"}, params, *visualizer), std::invalid_argument);
    EXPECT_EQ(params.mode, 5);
    EXPECT_EQ(params.amplitude, 100);
    EXPECT_EQ(params.backMode, 0);
    EXPECT_EQ(visualizer->BarStyle(), 18);
    EXPECT_FALSE(visualizer->Active());

    ApplyEffectParams({"5", "6", "7", "8"}, params, *visualizer);  // too few: nothing
    EXPECT_EQ(params.amplitude, 100);
}

std::string WithoutTimestamp(const std::string& json)
{
    return std::regex_replace(json, std::regex(R"("timestamp":\d+)"), R"("timestamp":T)");
}

TEST_F(Effect, JsonBytesForOneKey)
{
    grid->m_nKeyRows = 2;
    grid->m_nKeyCols = 2;
    for (int r = 0; r < 2; ++r) {
        for (int c = 0; c < 2; ++c) {
            grid->Cell(r, c).keyCode = -1;
        }
    }
    KeyCell& cell = grid->Cell(1, 0);
    cell.row = 1;
    cell.col = 0;
    cell.keyCode = 41;
    cell.keyIndex = 3;
    cell.color = 0x0080FF;  // orange
    params.mode = 19;
    params.amplitude = 60;
    EXPECT_EQ(WithoutTimestamp(BuildEffectJson(*grid, params, *visualizer, screen)),
              R"({"amplitude":60,"backmode":0,"backmodebrightness":100,"keys":[{"col":0,"color":"#FF8000",)"
              R"("keyCode":41,"keyIndex":3,"row":1}],"mode":19,"timestamp":T})");
}

// The reply is written by hand for speed; hosts parse it, and some compare it,
// so it must be byte for byte what the JSON library writes for the same
// document: members sorted by name, nothing between tokens.
std::string LibraryEffectJson(const KeyGrid& grid, const EffectParams& params, const std::string& timestamp)
{
    Json::Value root(Json::objectValue);
    root["mode"] = params.mode.load();
    root["amplitude"] = params.amplitude.load();
    root["backmode"] = params.backMode.load();
    root["backmodebrightness"] = params.backModeBrightness.load();
    root["timestamp"] = Json::Int64{std::stoll(timestamp)};
    Json::Value& keys = root["keys"] = Json::Value(Json::arrayValue);
    for (int c = 0; c < grid.ActiveCols(); ++c) {
        for (int r = 0; r < grid.ActiveRows(); ++r) {
            const KeyCell& cell = grid.Cell(r, c);
            if (cell.keyCode < 0) {
                continue;
            }
            Json::Value key(Json::objectValue);
            key["row"] = cell.row.load();
            key["col"] = cell.col.load();
            key["keyCode"] = cell.keyCode.load();
            key["keyIndex"] = cell.keyIndex.load();
            key["color"] = FormatColor(cell.color);
            keys.append(std::move(key));
        }
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    return Json::writeString(writer, root);
}

TEST_F(Effect, JsonIsWhatTheJsonLibraryWrites)
{
    constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
    constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
    struct Case {
        int rows, cols;
        int32_t mode, amplitude, backMode, brightness;
        int32_t cellValue;  // row, col and index of every cell; -1 leaves no key
    };
    const Case cases[] = {
        {2, 2, 19, 60, 0, 100, 0},     {6, 21, 2, 5, 4, 80, 7},           {2, 3, 100, 0, 0, 0, -1},
        {3, 2, kMin, kMax, -1, 0, 9},  {2, 2, 0, kMin, kMax, kMin, kMax}, {10, 100, 13, 1, 21, 100, 123456},
    };
    for (const Case& test : cases) {
        grid->m_nKeyRows = test.rows;
        grid->m_nKeyCols = test.cols;
        int code = 0;
        for (int r = 0; r < test.rows; ++r) {
            for (int c = 0; c < test.cols; ++c, ++code) {
                KeyCell& cell = grid->Cell(r, c);
                cell.row = cell.col = cell.keyIndex = test.cellValue;
                cell.keyCode = test.cellValue < 0 ? -1 : code;
                cell.color = static_cast<uint32_t>(code) * 2654435761u;
            }
        }
        params.mode = test.mode;
        params.amplitude = test.amplitude;
        params.backMode = test.backMode;
        params.backModeBrightness = test.brightness;
        const std::string json = BuildEffectJson(*grid, params, *visualizer, screen);
        std::smatch timestamp;
        ASSERT_TRUE(std::regex_search(json, timestamp, std::regex(R"("timestamp":(\d+))"))) << json;
        EXPECT_EQ(json, LibraryEffectJson(*grid, params, timestamp[1])) << test.rows << " x " << test.cols;
    }
}

TEST_F(Effect, KeysColumnByColumnWithoutNegativeCodes)
{
    grid->m_nKeyRows = 2;
    grid->m_nKeyCols = 3;
    grid->Cell(0, 0).keyCode = -2;
    grid->Cell(1, 0).keyIndex = 10;
    grid->Cell(0, 1).keyIndex = 11;
    grid->Cell(1, 2).keyIndex = 12;
    const std::string json = BuildEffectJson(*grid, params, *visualizer, screen);
    const size_t first = json.find(R"("keyIndex":10)");
    const size_t second = json.find(R"("keyIndex":11)");
    const size_t third = json.find(R"("keyIndex":12)");
    ASSERT_NE(third, std::string::npos);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    size_t keys = 0;
    for (size_t at = json.find("keyCode"); at != std::string::npos; at = json.find("keyCode", at + 1)) {
        ++keys;
    }
    EXPECT_EQ(keys, 5u);
}

TEST_F(Effect, JsonSelectsTheWorkingSamplerAndNeedsTwoByTwo)
{
    params.mode = 100;
    visualizer->SetActive(true);
    EXPECT_FALSE(BuildEffectJson(*grid, params, *visualizer, screen).empty());
    EXPECT_TRUE(screen.m_bEnabled);
    EXPECT_FALSE(visualizer->Active());
    params.mode = 7;
    BuildEffectJson(*grid, params, *visualizer, screen);
    EXPECT_FALSE(screen.m_bEnabled);
    EXPECT_TRUE(visualizer->Active());

    grid->m_nKeyRows = 1;
    EXPECT_EQ(BuildEffectJson(*grid, params, *visualizer, screen), "");
    grid->m_nKeyRows = 2;
    grid->m_nKeyCols = -5;
    EXPECT_EQ(BuildEffectJson(*grid, params, *visualizer, screen), "");
}

TEST(FormatColor, RedGreenBlueOrder)
{
    EXPECT_EQ(FormatColor(0x0080FF), "#FF8000");
    EXPECT_EQ(FormatColor(0xFF0000), "#0000FF");
    EXPECT_EQ(FormatColor(0), "#000000");
}

}  // namespace
