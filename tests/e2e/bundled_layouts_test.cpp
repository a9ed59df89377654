// The layouts shipped with the web console, each uploaded to the real daemon.
#include <gtest/gtest.h>
#include <json/json.h>

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>

#include "e2e/daemon_fixture.h"

namespace {

namespace fs = std::filesystem;
using Key = std::tuple<int, int, int, int>;  // row, column, code, table index

Json::Value Parse(const std::string& text)
{
    Json::Value value;
    Json::Reader().parse(text, value);
    return value;
}

// Every layout file, with the picker's list checked against them: the list
// names each file once, and nothing else.
TEST(BundledLayouts, EveryLayoutIsTakenWithAllItsKeys)
{
    Daemon daemon;
    ASSERT_NE(daemon.Port(), 0) << "daemon did not listen";

    const fs::path dir = fs::path(TONVIK_SOURCE_DIR) / "layouts";
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".json" && entry.path().stem() != "index") {
            files.insert(entry.path().stem().string());
        }
    }
    std::set<std::string> listed;
    for (const auto& entry : Parse(ReadFile(dir / "index.json"))) {
        EXPECT_TRUE(listed.insert(entry["file"].asString()).second) << "listed twice: " << entry["file"];
        EXPECT_FALSE(entry["name"].asString().empty());
    }
    EXPECT_EQ(listed, files) << "layouts/index.json does not list exactly the layout files";
    ASSERT_EQ(files.size(), 5u);

    for (const std::string& file : files) {
        SCOPED_TRACE(file);
        const std::string text = ReadFile(dir / (file + ".json"));
        const Json::Value layout = Parse(text);
        const Json::Value& grid = layout["layouts"];
        // Frames go to the keyboard only for grids of at most 23 columns.
        EXPECT_LE(grid["cols"].asInt(), 23);
        EXPECT_GE(grid["rows"].asInt(), 2);
        EXPECT_LE(grid["rows"].asInt(), 10);

        std::set<Key> expected;
        std::set<int> codes;
        std::set<int> indices;
        for (const auto& key : grid["keys"]) {
            expected.emplace(key["row"].asInt(), key["col"].asInt(), key["code"].asInt(), key["index"].asInt());
            EXPECT_TRUE(codes.insert(key["code"].asInt()).second) << "code used twice: " << key["code"];
            EXPECT_TRUE(indices.insert(key["index"].asInt()).second) << "index used twice: " << key["index"];
            EXPECT_LT(key["row"].asInt(), grid["rows"].asInt());
            EXPECT_LT(key["col"].asInt(), grid["cols"].asInt());
        }
        // Indices 1 to N: the key colour table then ends right after the last key.
        EXPECT_EQ(*indices.begin(), 1);
        EXPECT_EQ(*indices.rbegin(), static_cast<int>(indices.size()));
        // The name says how many keys the board has.
        const std::string name = layout["name"].asString();
        EXPECT_NE(name.find(", " + std::to_string(expected.size()) + " keys"), std::string::npos) << name;

        // The keys' places and sizes for the console are there for every key,
        // and the daemon ignores them: the same document without them gets
        // the same replies, byte for byte (but for the time stamp).
        Json::Value unplaced = layout;
        for (auto& key : unplaced["layouts"]["keys"]) {
            EXPECT_TRUE(key["x"].isNumeric() && key["y"].isNumeric()) << key;
            for (const char* member : {"x", "y", "w", "h"}) {
                key.removeMember(member);
            }
        }
        const auto replies = [&](const std::string& document) {
            const HttpReply upload =
                Get(daemon.Port(), "/api/keyboard/musiceffect/layout?layout=" + PercentEncode(document));
            const std::string effect = Get(daemon.Port(), "/api/keyboard/musiceffect").raw;
            return std::make_pair(upload.raw, std::regex_replace(effect, std::regex(R"("timestamp":[0-9]+)"), ""));
        };
        Json::StreamWriterBuilder compact;
        compact["indentation"] = "";
        EXPECT_EQ(replies(Json::writeString(compact, unplaced)), replies(text));

        const HttpReply upload = Get(daemon.Port(), "/api/keyboard/musiceffect/layout?layout=" + PercentEncode(text));
        ASSERT_EQ(upload.body, R"({"status": "layout received via GET"})");
        const Json::Value state = Parse(Get(daemon.Port(), "/api/keyboard/musiceffect").body);
        std::set<Key> reported;
        for (const auto& key : state["keys"]) {
            // Earlier layouts leave cells behind without a code.
            if (key["keyCode"].asInt() > 0) {
                reported.emplace(key["row"].asInt(), key["col"].asInt(), key["keyCode"].asInt(),
                                 key["keyIndex"].asInt());
            }
        }
        EXPECT_EQ(reported, expected);
    }
}

}  // namespace
