// The web console's copy of the API contract (web/contract.js) says what
// src/base/api_contract.h says.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "base/api_contract.h"

namespace {

// Every "NAME = number" and "name: number" of the script, by name.
std::map<std::string, long> NumbersIn(const std::string& script)
{
    std::map<std::string, long> numbers;
    const std::regex assignment(R"(\b([A-Za-z_]+)\s*(?:=|:)\s*(-?[0-9]+)\b)");
    for (auto it = std::sregex_iterator(script.begin(), script.end(), assignment); it != std::sregex_iterator(); ++it) {
        numbers[(*it)[1]] = std::stol((*it)[2]);
    }
    return numbers;
}

// Every "NAME = 'text'" of the script, by name.
std::map<std::string, std::string> TextsIn(const std::string& script)
{
    std::map<std::string, std::string> texts;
    const std::regex assignment(R"(\b([A-Z_]+)\s*=\s*'([^']*)')");
    for (auto it = std::sregex_iterator(script.begin(), script.end(), assignment); it != std::sregex_iterator(); ++it) {
        texts[(*it)[1]] = (*it)[2];
    }
    return texts;
}

std::string ContractScript()
{
    std::ifstream in(TONVIK_SOURCE_DIR "/web/contract.js", std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(ConsoleContract, TheConsolesCopyMatchesTheDaemonsContract)
{
    const std::string script = ContractScript();
    ASSERT_FALSE(script.empty()) << "web/contract.js is missing";
    const std::map<std::string, long> numbers = NumbersIn(script);
    using namespace api_contract;
    const std::map<std::string, long> expected = {
        {"FIRST_PORT", kFirstApiPort},
        {"LAST_PORT", kLastApiPort},
        {"REQUEST_CAP", static_cast<long>(kRequestCap)},
        {"RIPPLE_MODE", kRippleMode},
        {"SCREEN_MODE", kScreenMode},
        {"mode", kStartupEffectValues.mode},
        {"amplitude", kStartupEffectValues.amplitude},
        {"backMode", kStartupEffectValues.backMode},
        {"backBrightness", kStartupEffectValues.backModeBrightness},
        {"screenToDevice", kStartupEffectValues.screenToDevice},
    };
    EXPECT_EQ(numbers, expected);
}

// The quoted items of the script's COLOUR_STYLE_NAMES list, in order.
std::vector<std::string> ColourStyleNamesIn(const std::string& script)
{
    const size_t start = script.find("COLOUR_STYLE_NAMES = Object.freeze([");
    if (start == std::string::npos) {
        return {};
    }
    const std::string list = script.substr(start, script.find("])", start) - start);
    std::vector<std::string> names;
    const std::regex item(R"('([^']*)')");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), item); it != std::sregex_iterator(); ++it) {
        names.push_back((*it)[1]);
    }
    return names;
}

TEST(ConsoleContract, TheConsoleNamesEveryColourStyleOfTheDaemonInOrder)
{
    std::vector<std::string> expected;
    for (const api_contract::ColourStyle& style : api_contract::kColourStyles) {
        expected.push_back(style.name);
    }
    EXPECT_EQ(ColourStyleNamesIn(ContractScript()), expected);
}

TEST(ConsoleContract, TheConsoleNamesTheDaemonsRoutePaths)
{
    using namespace api_contract;
    const std::map<std::string, std::string> expected = {
        {"HARDWARE_PATH", kHardwarePath},
        {"STATUS_PATH", kStatusPath},
        {"LAYOUT_PATH", kLayoutPath},
        {"EFFECT_PATH", kEffectPath},
        {"AMPLITUDE_PATH", kAmplitudePath},
    };
    EXPECT_EQ(TextsIn(ContractScript()), expected);
}

}  // namespace
