#include "api/routes.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

#include "api/server.h"
#include "base/clock.h"
#include "app/kolvex_dlg.h"

namespace {

class Routes : public ::testing::Test {
protected:
    std::string Dispatch(const std::string& target, const std::string& method = "GET")
    {
        return DispatchRequest(dlg->Api(), method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }

    std::unique_ptr<CKolvexDlg> dlg = std::make_unique<CKolvexDlg>();
};

TEST(QueryValues, EndAtAmpersandOrBeforeHttp)
{
    EXPECT_EQ(ExtractQueryValue("GET /x?layout=abc&y=1 HTTP/1.1", "layout="), "abc");
    EXPECT_EQ(ExtractQueryValue("GET /x?layout=abc HTTP/1.1\r\nA: b&c", "layout="), "abc");
    EXPECT_EQ(ExtractQueryValue("GET /x?data=ab", "data="), "ab");
    EXPECT_EQ(ExtractQueryValue("GET /x?data=xyHTTPz HTTP/1.1", "data="), "x");
    EXPECT_EQ(ExtractQueryValue("GET /x?data=HTTP/1.1", "data="), "");
    EXPECT_EQ(ExtractQueryValue("GET /x HTTP/1.1", "data="), std::nullopt);
}

TEST(QueryValues, ParamSplitsAtEveryAmpersand)
{
    using Fields = std::vector<std::string>;
    EXPECT_EQ(ExtractParamFields("GET /a?param=19&60&0&100&1 HTTP/1.1"), (Fields{"19", "60", "0", "100", "1"}));
    EXPECT_EQ(ExtractParamFields("GET /a?param=&1&&"), (Fields{"", "1", "", ""}));
    EXPECT_EQ(ExtractParamFields("GET /a?param="), (Fields{""}));
    EXPECT_EQ(ExtractParamFields("GET /a HTTP/1.1"), std::nullopt);
}

TEST_F(Routes, CloseAndLayoutPauseWithoutTouchingTheRequestTime)
{
    dlg->m_lastRequestTick = 5;
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/close"), R"({"status": "close ok"})");
    EXPECT_EQ(dlg->m_nEffectRunning, 0);
    EXPECT_EQ(dlg->m_lastRequestTick, 5u);

    dlg->m_nEffectRunning = 1;
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/layout"), R"({"status": "layout received via GET"})");
    EXPECT_EQ(dlg->m_nEffectRunning, 0);
    EXPECT_EQ(dlg->m_commands.Size(), 0u);

    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/layout?layout=%7B%22layouts%22%3A%7B%22rows%22%3A3%2C"
                       "%22cols%22%3A4%2C%22keys%22%3A%5B%5D%7D%7D"),
              R"({"status": "layout received via GET"})");
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyRows, 3);
    EXPECT_EQ(dlg->m_commands.Pop(), CMD_START_LIGHTING);
    EXPECT_EQ(dlg->m_lastRequestTick, 5u);

    // A rejected layout pauses all the same, changes nothing and says why, as valid JSON.
    dlg->m_nEffectRunning = 1;
    const std::string rejected = Dispatch("/api/keyboard/musiceffect/layout?layout=%7B%22layouts%22%3A%7B%22rows"
                                          "%22%3A%226%22%7D%7D");
    Json::Value reply;
    ASSERT_TRUE(Json::Reader().parse(rejected, reply)) << rejected;
    EXPECT_EQ(reply.getMemberNames(), std::vector<std::string>{"error"});
    EXPECT_EQ(reply["error"].asString(), "layout rejected: layouts.rows is not an integer");
    EXPECT_EQ(dlg->m_nEffectRunning, 0);
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyRows, 3);
    EXPECT_EQ(dlg->m_commands.Size(), 0u);
}

TEST_F(Routes, UnrecognisedRequestsKeepTheEffectAlive)
{
    dlg->m_nEffectRunning = 0;
    const uint64_t before = TickCount64();
    EXPECT_EQ(Dispatch("/api/nothing"), R"({"error": "Invalid request"})");
    EXPECT_EQ(dlg->m_nEffectRunning, 1);
    EXPECT_GE(dlg->m_lastRequestTick, before);

    dlg->m_nEffectRunning = 0;
    EXPECT_EQ(Dispatch("/api/audio/amplitude", "POST"), R"({"error": "Invalid request"})");
    EXPECT_EQ(dlg->m_nEffectRunning, 1);
}

TEST_F(Routes, AmplitudeSwitchesToPublishingTheLevel)
{
    dlg->m_nAmplitudeReading = 37;
    dlg->m_bLightingActive = true;
    dlg->m_effect.mode = 19;
    dlg->m_visualizer.m_nBarStyle = 19;
    EXPECT_EQ(Dispatch("/api/audio/amplitude"), R"({"amplitude":37})");
    EXPECT_FALSE(dlg->m_bLightingActive);
    EXPECT_EQ(dlg->m_effect.mode, 0);
    EXPECT_EQ(dlg->m_visualizer.m_nBarStyle, 0);
    EXPECT_TRUE(dlg->m_visualizer.Active());
}

TEST_F(Routes, EffectRouteRepliesStateEmptyOrError)
{
    const std::string state = Dispatch("/api/keyboard/musiceffect?param=5&6&7&8");
    EXPECT_EQ(state.rfind(R"({"amplitude":100,"backmode":0,"backmodebrightness":100,"keys":[)", 0), 0u) << state;
    EXPECT_EQ(dlg->m_effect.mode, 1);

    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect?param=1&2&x&4&5"), R"({"error": "invalid stoi argument"})");
    EXPECT_EQ(dlg->m_effect.mode, 1);
    EXPECT_EQ(dlg->m_effect.amplitude, 2);
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect?param=1&99999999999&0&4&5"),
              R"({"error": "stoi argument out of range"})");

    dlg->m_keyGrid.m_nKeyRows = 1;
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect?param=7&60&0&100&1"), R"({"status": "empty"})");
    EXPECT_EQ(dlg->m_effect.mode, 7);
    EXPECT_EQ(dlg->m_visualizer.m_nGain, 1200);
}

TEST_F(Routes, Base64LayoutRoute)
{
    EXPECT_EQ(Dispatch("/api/keyboard/layout/base64"),
              R"({"status": "error", "message": "缺少Base64数据参数", "success": false})");
    EXPECT_EQ(dlg->m_nEffectRunning, 0);

    // "%6530%3D" decodes to the Base64 text "e30=", the bytes of "{}".
    const std::string reply = Dispatch("/api/keyboard/layout/base64?data=%6530%3D");
    EXPECT_EQ(reply.rfind(R"({"status": "success", "message": "布局数据已成功接收并处理", "dataSize": 2, "timestamp": )", 0),
              0u)
        << reply;

    // "%41QI%3D" decodes to "AQI=", the bytes 1 and 2: not a layout.
    const std::string rejected = Dispatch("/api/keyboard/layout/base64?data=%41QI%3D");
    EXPECT_EQ(rejected.rfind(R"({"status": "error", "message": "layout rejected: the layout is not valid JSON at byte 0: )",
                             0),
              0u)
        << rejected;
    Json::Value error;
    ASSERT_TRUE(Json::Reader().parse(rejected, error)) << rejected;
    EXPECT_EQ(error["encodedSize"], 8);
    EXPECT_EQ(error["decodedSize"], 4);
    EXPECT_EQ(error["success"], false);
    EXPECT_GT(error["timestamp"].asUInt64(), 0u);
    EXPECT_EQ(dlg->m_nEffectRunning, 0);

    // {"layouts":{"rows":2,"cols":3,"keys":[]}}
    Dispatch("/api/keyboard/layout/base64?data=eyJsYXlvdXRzIjp7InJvd3MiOjIsImNvbHMiOjMsImtleXMiOltdfX0%3D&x=1");
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyRows, 2);
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyCols, 3);

    const std::string empty = Dispatch("/api/keyboard/layout/base64?data=");
    EXPECT_NE(empty.find(R"("dataSize": 0,)"), std::string::npos);
    EXPECT_EQ(dlg->m_keyGrid.m_nKeyRows, 2);
}

TEST_F(Routes, LayoutQueriesArePercentDecodedAndLoseTheirDataPrefix)
{
    // "+" becomes a blank, on both routes; the Base64 text is of {"name":"c+d"}.
    Dispatch("/api/keyboard/musiceffect/layout?layout=data%3D%7B%22name%22%3A%22a+b%22%7D");
    EXPECT_EQ(dlg->m_layout.m_strLayoutName, u"a b");
    Dispatch("/api/keyboard/layout/base64?data=eyJuYW1lIjoiYytkIn0%3D");
    EXPECT_EQ(dlg->m_layout.m_strLayoutName, u"c d");

    // An empty layout is none: nothing changes, nothing is wrong.
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/layout?layout="), R"({"status": "layout received via GET"})");
    EXPECT_EQ(dlg->m_layout.m_strLayoutName, u"c d");
    EXPECT_EQ(dlg->m_commands.Size(), 0u);
}

TEST_F(Routes, OrderOfLiteralsDecidesBetweenPrefixes)
{
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/closeNow"), R"({"status": "close ok"})");
    EXPECT_EQ(Dispatch("/api/hardware/info?x=1"), R"({"status": "empty"})");
}

TEST_F(Routes, OnlyTheRequestLineChoosesTheRouteAndItsParameters)
{
    // A header naming a route, or carrying a parameter, changes nothing.
    dlg->m_nEffectRunning = 1;
    EXPECT_EQ(DispatchRequest(dlg->Api(), "GET /x HTTP/1.1\r\nReferer: GET /api/keyboard/musiceffect/close\r\n\r\n"),
              R"({"error": "Invalid request"})");
    EXPECT_EQ(dlg->m_nEffectRunning, 1);
    const std::string state = DispatchRequest(
        dlg->Api(), "GET /api/keyboard/musiceffect HTTP/1.1\r\nReferer: http://h/ui?param=7&60&0&100&1\r\n\r\n");
    EXPECT_EQ(state.rfind(R"({"amplitude":100,)", 0), 0u) << state;
    EXPECT_EQ(dlg->m_effect.mode, 1);

    // Empty lines ahead of the request line are skipped, as HTTP allows; a
    // route path that is not at the start of the line is not that route.
    EXPECT_EQ(DispatchRequest(dlg->Api(), "\r\nGET /api/keyboard/musiceffect/close HTTP/1.1\r\n\r\n"),
              R"({"status": "close ok"})");
    EXPECT_EQ(DispatchRequest(dlg->Api(), "PUT /GET /api/keyboard/musiceffect/close HTTP/1.1\r\n\r\n"),
              R"({"error": "Invalid request"})");
}

TEST_F(Routes, HardwareRouteServesTheSnapshotOnceValid)
{
    {
        std::lock_guard lock(dlg->m_snapshotMutex);
        dlg->m_snapshot.cpuTemp = 45.0f;
        dlg->m_snapshot.cpuUsage = 37.3f;
        dlg->m_snapshot.cpuUsageValid = true;
        dlg->m_bSnapshotValid = true;
    }
    EXPECT_EQ(Dispatch("/api/hardware/info"),
              R"({"cpuTemp":45.0,"cpuUsage":37.299999237060547,"cpuUsageValid":true,"gpuTemp":0.0,)"
              R"("gpuUsage":0.0,"gpuUsageValid":false,"network_download":0.0,"network_upload":0.0})");
}

TEST(ReplyEnvelope, HeadersAndLength)
{
    EXPECT_EQ(BuildJsonReply(""),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json; charset=utf-8\r\n"
              "Access-Control-Allow-Origin: *\r\nAccess-Control-Allow-Methods: GET, POST, OPTIONS\r\n"
              "Access-Control-Allow-Headers: Content-Type\r\nContent-Length: 0\r\n\r\n");
    const std::string body = R"({"status": "error", "message": "缺少"})";
    const std::string reply = BuildJsonReply(body);
    EXPECT_NE(reply.find("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body), std::string::npos);
}

TEST(ReplyEnvelope, PreflightOnlyForTheOptionsMethod)
{
    const RequestHandler handler = [](const std::string&) { return std::string("{}"); };
    const struct {
        const char* request;
        bool preflight;
    } cases[] = {
        {"OPTIONS /api/audio/amplitude HTTP/1.1\r\nOrigin: http://x\r\n\r\n", true},
        {"\r\nOPTIONS / HTTP/1.1\r\n\r\n", true},
        {"OPTIONS", true},
        {"GET /api/audio/amplitude HTTP/1.1\r\nAccess-Control-Request-Method: OPTIONS\r\n\r\n", false},
        {"GET /api/keyboard/musiceffect/layout?layout=%7B%22name%22%3A%22OPTIONS%22%7D HTTP/1.1", false},
        {"OPTIONSX / HTTP/1.1", false},
        {"options / HTTP/1.1", false},
        {"POST / HTTP/1.1\r\n\r\nOPTIONS", false},
    };
    for (const auto& test : cases) {
        EXPECT_EQ(AnswerRequest(test.request, handler), test.preflight ? PreflightReply() : BuildJsonReply("{}"))
            << test.request;
    }
}

}  // namespace
