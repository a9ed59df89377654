#include "api/routes.h"

#include <gtest/gtest.h>
#include <json/json.h>

#include <memory>

#include "api/server.h"
#include "base/clock.h"
#include "base/command_queue.h"
#include "base/version.h"
#include "hwmon/hardware_snapshot.h"

namespace {

// The state the routes work on, as the daemon lends it, without the daemon
// around it. New effect parameters take effect without their pause.
struct RouteState {
    KeyGrid keyGrid;
    LayoutIdentity layout;
    ScreenLight screenLight;
    CommandQueue commands;
    EffectParams effect;
    Visualizer visualizer;
    Relaxed<int32_t> effectRunning{1};
    Relaxed<bool> lightingActive{false};
    Relaxed<int32_t> amplitudeReading{0};
    Relaxed<uint64_t> lastRequestTick{0};
    std::string hardwareJson;
    DaemonStatus status;
    int wakes = 0;

    ApiTargets Api()
    {
        return {{keyGrid, layout, screenLight, commands},
                keyGrid,
                effect,
                visualizer,
                screenLight,
                effectRunning,
                lightingActive,
                amplitudeReading,
                lastRequestTick,
                [this] { return hardwareJson; },
                [this] { return status; },
                [](uint32_t) {},
                [this] { ++wakes; }};
    }
};

class Routes : public ::testing::Test {
protected:
    std::string Dispatch(const std::string& target, const std::string& method = "GET")
    {
        return DispatchRequest(daemonState->Api(), method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    }

    // On the heap: the visualizer's pictures are large.
    std::unique_ptr<RouteState> daemonState = std::make_unique<RouteState>();
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
    daemonState->lastRequestTick = 5;
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/close"), R"({"status": "close ok"})");
    EXPECT_EQ(daemonState->effectRunning, 0);
    EXPECT_EQ(daemonState->lastRequestTick, 5u);

    daemonState->effectRunning = 1;
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/layout"), R"({"status": "layout received via GET"})");
    EXPECT_EQ(daemonState->effectRunning, 0);
    EXPECT_EQ(daemonState->commands.Size(), 0u);

    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/layout?layout=%7B%22layouts%22%3A%7B%22rows%22%3A3%2C"
                       "%22cols%22%3A4%2C%22keys%22%3A%5B%5D%7D%7D"),
              R"({"status": "layout received via GET"})");
    EXPECT_EQ(daemonState->keyGrid.m_nKeyRows, 3);
    EXPECT_EQ(daemonState->commands.Pop(), CMD_START_LIGHTING);
    EXPECT_EQ(daemonState->lastRequestTick, 5u);

    // A rejected layout pauses all the same, changes nothing and says why, as valid JSON.
    daemonState->effectRunning = 1;
    const std::string rejected = Dispatch("/api/keyboard/musiceffect/layout?layout=%7B%22layouts%22%3A%7B%22rows"
                                          "%22%3A%226%22%7D%7D");
    Json::Value reply;
    ASSERT_TRUE(Json::Reader().parse(rejected, reply)) << rejected;
    EXPECT_EQ(reply.getMemberNames(), std::vector<std::string>{"error"});
    EXPECT_EQ(reply["error"].asString(), "layout rejected: layouts.rows is not an integer");
    EXPECT_EQ(daemonState->effectRunning, 0);
    EXPECT_EQ(daemonState->keyGrid.m_nKeyRows, 3);
    EXPECT_EQ(daemonState->commands.Size(), 0u);
}

TEST_F(Routes, UnrecognisedRequestsKeepTheEffectAlive)
{
    daemonState->effectRunning = 0;
    const uint64_t before = TickCount64();
    EXPECT_EQ(Dispatch("/api/nothing"), R"({"error": "Invalid request"})");
    EXPECT_EQ(daemonState->effectRunning, 1);
    EXPECT_GE(daemonState->lastRequestTick, before);

    daemonState->effectRunning = 0;
    EXPECT_EQ(Dispatch("/api/audio/amplitude", "POST"), R"({"error": "Invalid request"})");
    EXPECT_EQ(daemonState->effectRunning, 1);
}

TEST_F(Routes, AmplitudeSwitchesToPublishingTheLevel)
{
    daemonState->amplitudeReading = 37;
    daemonState->lightingActive = true;
    daemonState->effect.mode = 19;
    daemonState->visualizer.SetBarStyle(19);
    EXPECT_EQ(Dispatch("/api/audio/amplitude"), R"({"amplitude":37})");
    EXPECT_FALSE(daemonState->lightingActive);
    EXPECT_EQ(daemonState->effect.mode, 0);
    EXPECT_EQ(daemonState->visualizer.BarStyle(), 0);
    EXPECT_TRUE(daemonState->visualizer.Active());
}

TEST_F(Routes, EffectRouteRepliesStateEmptyOrError)
{
    const std::string state = Dispatch("/api/keyboard/musiceffect?param=5&6&7&8");
    EXPECT_EQ(state.rfind(R"({"amplitude":100,"backmode":0,"backmodebrightness":100,"keys":[)", 0), 0u) << state;
    EXPECT_EQ(daemonState->effect.mode, 1);

    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect?param=1&2&x&4&5"), R"({"error": "invalid stoi argument"})");
    EXPECT_EQ(daemonState->effect.mode, 1);
    EXPECT_EQ(daemonState->effect.amplitude, 2);
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect?param=1&99999999999&0&4&5"),
              R"({"error": "stoi argument out of range"})");

    daemonState->keyGrid.m_nKeyRows = 1;
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect?param=7&60&0&100&1"), R"({"status": "empty"})");
    EXPECT_EQ(daemonState->effect.mode, 7);
    EXPECT_EQ(daemonState->visualizer.Gain(), 1200);
}

TEST_F(Routes, Base64LayoutRoute)
{
    EXPECT_EQ(Dispatch("/api/keyboard/layout/base64"),
              R"({"status": "error", "message": "缺少Base64数据参数", "success": false})");
    EXPECT_EQ(daemonState->effectRunning, 0);

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
    EXPECT_EQ(daemonState->effectRunning, 0);

    // {"layouts":{"rows":2,"cols":3,"keys":[]}}
    Dispatch("/api/keyboard/layout/base64?data=eyJsYXlvdXRzIjp7InJvd3MiOjIsImNvbHMiOjMsImtleXMiOltdfX0%3D&x=1");
    EXPECT_EQ(daemonState->keyGrid.m_nKeyRows, 2);
    EXPECT_EQ(daemonState->keyGrid.m_nKeyCols, 3);

    const std::string empty = Dispatch("/api/keyboard/layout/base64?data=");
    EXPECT_NE(empty.find(R"("dataSize": 0,)"), std::string::npos);
    EXPECT_EQ(daemonState->keyGrid.m_nKeyRows, 2);
}

TEST_F(Routes, LayoutQueriesArePercentDecodedAndLoseTheirDataPrefix)
{
    // "+" becomes a blank, on both routes; the Base64 text is of {"name":"c+d"}.
    Dispatch("/api/keyboard/musiceffect/layout?layout=data%3D%7B%22name%22%3A%22a+b%22%7D");
    EXPECT_EQ(daemonState->layout.m_strLayoutName, u"a b");
    Dispatch("/api/keyboard/layout/base64?data=eyJuYW1lIjoiYytkIn0%3D");
    EXPECT_EQ(daemonState->layout.m_strLayoutName, u"c d");

    // An empty layout is none: nothing changes, nothing is wrong.
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/layout?layout="), R"({"status": "layout received via GET"})");
    EXPECT_EQ(daemonState->layout.m_strLayoutName, u"c d");
    EXPECT_EQ(daemonState->commands.Size(), 0u);
}

TEST_F(Routes, OrderOfLiteralsDecidesBetweenPrefixes)
{
    EXPECT_EQ(Dispatch("/api/keyboard/musiceffect/closeNow"), R"({"status": "close ok"})");
    EXPECT_EQ(Dispatch("/api/hardware/info?x=1"), R"({"status": "empty"})");
}

TEST_F(Routes, OnlyTheRequestLineChoosesTheRouteAndItsParameters)
{
    // A header naming a route, or carrying a parameter, changes nothing.
    daemonState->effectRunning = 1;
    EXPECT_EQ(DispatchRequest(daemonState->Api(), "GET /x HTTP/1.1\r\nReferer: GET /api/keyboard/musiceffect/close\r\n\r\n"),
              R"({"error": "Invalid request"})");
    EXPECT_EQ(daemonState->effectRunning, 1);
    const std::string state = DispatchRequest(
        daemonState->Api(), "GET /api/keyboard/musiceffect HTTP/1.1\r\nReferer: http://h/ui?param=7&60&0&100&1\r\n\r\n");
    EXPECT_EQ(state.rfind(R"({"amplitude":100,)", 0), 0u) << state;
    EXPECT_EQ(daemonState->effect.mode, 1);

    // Empty lines ahead of the request line are skipped, as HTTP allows; a
    // route path that is not at the start of the line is not that route.
    EXPECT_EQ(DispatchRequest(daemonState->Api(), "\r\nGET /api/keyboard/musiceffect/close HTTP/1.1\r\n\r\n"),
              R"({"status": "close ok"})");
    EXPECT_EQ(DispatchRequest(daemonState->Api(), "PUT /GET /api/keyboard/musiceffect/close HTTP/1.1\r\n\r\n"),
              R"({"error": "Invalid request"})");
}

TEST_F(Routes, HardwareRouteServesTheSnapshotWhileThereIsOne)
{
    EXPECT_EQ(Dispatch("/api/hardware/info"), R"({"status": "empty"})");
    HardwareSnapshot snapshot;
    snapshot.cpuTemp = 45.0f;
    snapshot.cpuUsage = 37.3f;
    snapshot.cpuUsageValid = true;
    daemonState->hardwareJson = HardwareSnapshotJson(snapshot);
    EXPECT_EQ(Dispatch("/api/hardware/info"),
              R"({"cpuTemp":45.0,"cpuUsage":37.299999237060547,"cpuUsageValid":true,"gpuTemp":0.0,)"
              R"("gpuUsage":0.0,"gpuUsageValid":false,"network_download":0.0,"network_upload":0.0})");
}

// The status reply for each thing the keyboard discovery can have found, with
// the ids in upper-case hex and the sink's description escaped.
TEST_F(Routes, StatusRouteTellsWhatTheDaemonFound)
{
    const auto version = std::string(R"(, "version": ")") + TONVIK_VERSION + R"("})";
    // Each status built by a function: MinGW's GCC 12 at -O3 takes the strings of
    // DaemonStatus aggregates in a local array for uninitialised.
    const auto status = [](KeyboardState keyboard, uint16_t vendorId, uint16_t productId, bool connected,
                           const char* recording, bool playing, bool resting) {
        DaemonStatus made;
        made.keyboard = keyboard;
        made.vendorId = vendorId;
        made.productId = productId;
        made.soundConnected = connected;
        made.recording = recording;
        made.playing = playing;
        made.resting = resting;
        return made;
    };
    const struct {
        DaemonStatus status;
        std::string expected;
    } cases[] = {
        {status(KeyboardState::Open, 0x320F, 0x5055, true, "Speakers", true, false),
         R"({"keyboard": {"found": true, "vendorId": "320F", "productId": "5055", "accessDenied": false}, )"
         R"("sound": {"connected": true, "recording": "Speakers", "playing": true}, "resting": false)"},
        {status(KeyboardState::Denied, 0x0A0B, 0x00FF, true, "Built-in \"Audio\"\n", false, false),
         R"({"keyboard": {"found": true, "vendorId": "0A0B", "productId": "00FF", "accessDenied": true}, )"
         R"("sound": {"connected": true, "recording": "Built-in \"Audio\"\u000A", "playing": false}, )"
         R"("resting": false)"},
        {status(KeyboardState::Missing, 0x320F, 0x5055, false, "", false, true),
         R"({"keyboard": {"found": false, "vendorId": "320F", "productId": "5055", "accessDenied": false}, )"
         R"("sound": {"connected": false, "recording": "", "playing": false}, "resting": true)"},
        {status(KeyboardState::NotLookedFor, 0xFFFF, 0x0001, false, "", false, false),
         R"({"keyboard": {"found": false, "vendorId": "FFFF", "productId": "0001", "accessDenied": false}, )"
         R"("sound": {"connected": false, "recording": "", "playing": false}, "resting": false)"},
    };
    for (const auto& c : cases) {
        daemonState->status = c.status;
        EXPECT_EQ(Dispatch("/api/status"), c.expected + version);
    }
}

// What each route does besides its reply: whether it counts as the host being
// alive (the effect runs, the request time is now, a rest ends) or pauses the
// lighting worker's frames; the hardware and status routes do neither.
TEST_F(Routes, EachRouteHasItsSideEffects)
{
    const struct {
        const char* target;
        bool hostIsAlive;
        bool stopsEffect;
    } cases[] = {
        {"/api/keyboard/layout/base64?data=e30%3D", false, true},
        {"/api/keyboard/musiceffect/close", false, true},
        {"/api/hardware/info", false, false},
        {"/api/status", false, false},
        {"/api/keyboard/musiceffect/layout?layout=", false, true},
        {"/api/keyboard/musiceffect", true, false},
        {"/api/audio/amplitude", true, false},
        {"/api/audio/sources", false, false},
        {"/api/audio/source?id=default&delay=0", false, false},
        {"/api/nothing", true, false},
        {"/", true, false},
    };
    for (const auto& c : cases) {
        daemonState = std::make_unique<RouteState>();
        daemonState->effectRunning = 0;
        daemonState->lastRequestTick = 5;
        const uint64_t before = TickCount64();
        Dispatch(c.target);
        EXPECT_EQ(daemonState->effectRunning, c.hostIsAlive ? 1 : 0) << c.target;
        EXPECT_EQ(daemonState->wakes, c.hostIsAlive ? 1 : 0) << c.target;
        if (c.hostIsAlive) {
            EXPECT_GE(daemonState->lastRequestTick, before) << c.target;
        } else {
            EXPECT_EQ(daemonState->lastRequestTick, 5u) << c.target;
        }

        daemonState->effectRunning = 1;
        Dispatch(c.target);
        EXPECT_EQ(daemonState->effectRunning, c.stopsEffect ? 0 : 1) << c.target;
    }
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
