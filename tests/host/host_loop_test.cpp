// The host loop's decisions against a scripted daemon behind the HTTP seam:
// what goes up again after a restart, a loss, a start-up race, a rejection.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "host_loop.h"

namespace {

constexpr char kLayout[] = R"({"layouts":{"rows":2,"cols":2,"keys":[{"row":0,"col":0,"code":7,"index":1}]}})";

// A daemon as the host sees it: the hardware route answers, the layout route
// takes or rejects the layout, the effect route reports the keys (ours after
// an upload, the start-up grid's before) and the mode.
class ScriptedDaemon : public HttpClient {
public:
    std::optional<HttpReply> Get(uint16_t, const std::string& target, int) override
    {
        if (downFor > 0) {
            --downFor;
            return std::nullopt;
        }
        if (target.starts_with("/api/hardware/info")) {
            return HttpReply{200, "application/json; charset=utf-8", R"({"status": "empty"})"};
        }
        if (target.starts_with("/api/keyboard/musiceffect/layout?layout=")) {
            ++uploads;
            hasLayout = !rejectLayout;
            return HttpReply{200, "application/json; charset=utf-8",
                             rejectLayout ? R"({"error": "layout rejected: no keys"})"
                                          : R"({"status": "layout received via GET"})"};
        }
        if (target.starts_with("/api/keyboard/musiceffect?param=")) {
            ++effectsSet;
            if (!(ignoreFirstEffect && effectsSet == 1)) {
                mode = std::stoi(target.substr(target.find('=') + 1));
            }
        }
        ++polls;
        if (script) {
            script(*this);
        }
        const std::string keys = hasLayout ? R"({"col":0,"color":"#FF8000","keyCode":7,"keyIndex":1,"row":0})"
                                           : R"({"col":0,"color":"#000000","keyCode":0,"keyIndex":0,"row":0},)"
                                             R"({"col":0,"color":"#000000","keyCode":0,"keyIndex":0,"row":1})";
        return HttpReply{200, "application/json; charset=utf-8",
                         R"({"amplitude":60,"backmode":0,"backmodebrightness":100,"keys":[)" + keys +
                             R"(],"mode":)" + std::to_string(mode) + R"(,"timestamp":1})"};
    }

    std::function<void(ScriptedDaemon&)> script;  // after each effect request is counted
    int downFor = 0;  // requests that get no reply
    bool rejectLayout = false;
    bool ignoreFirstEffect = false;
    bool hasLayout = false;
    int mode = 19;
    int uploads = 0;
    int effectsSet = 0;
    int polls = 0;
};

struct LoopCase {
    const char* what;
    std::function<void(ScriptedDaemon&, StopSignal&)> arrange;
    HostLoop::Outcome outcome;
    int uploads;
    int effectsSet;
};

class HostLoopTest : public ::testing::TestWithParam<LoopCase> {};

TEST_P(HostLoopTest, SendsWhatTheDaemonLacks)
{
    const LoopCase& c = GetParam();
    ScriptedDaemon daemon;
    StopSignal stop;
    c.arrange(daemon, stop);
    DaemonApi api(daemon);
    Choices choices{kLayout, "test.json", {}};
    choices.effect.mode = 2;
    HostChoices shared(choices);
    int frames = 0;
    HostLoop loop(api, stop, shared, 0, [&frames](uint16_t, const EffectState&) { ++frames; });
    EXPECT_EQ(loop.Run(), c.outcome);
    EXPECT_EQ(daemon.uploads, c.uploads);
    EXPECT_EQ(daemon.effectsSet, c.effectsSet);
    if (c.outcome == HostLoop::Outcome::Stopped) {
        EXPECT_EQ(daemon.mode, 2);
        EXPECT_GE(frames, 2);
    }
}

// Stops the loop once the daemon has answered that many effect requests.
void StopAfter(ScriptedDaemon& daemon, StopSignal& stop, int polls, std::function<void(ScriptedDaemon&)> also = {})
{
    daemon.script = [&stop, polls, also](ScriptedDaemon& d) {
        if (also) {
            also(d);
        }
        if (d.polls >= polls) {
            stop.Request();
        }
    };
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostLoopTest,
    ::testing::Values(
        LoopCase{"steady", [](ScriptedDaemon& d, StopSignal& s) { StopAfter(d, s, 4); }, HostLoop::Outcome::Stopped, 1,
                 1},
        LoopCase{"restart between two polls",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     StopAfter(d, s, 6, [](ScriptedDaemon& daemon) {
                         if (daemon.polls == 3) {
                             daemon.hasLayout = false;
                             daemon.mode = 19;
                         }
                     });
                 },
                 HostLoop::Outcome::Stopped, 2, 2},
        LoopCase{"gone and back",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     StopAfter(d, s, 6, [](ScriptedDaemon& daemon) {
                         if (daemon.polls == 2) {
                             daemon.downFor = 2;
                             daemon.hasLayout = false;
                         }
                     });
                 },
                 HostLoop::Outcome::Stopped, 2, 2},
        LoopCase{"start-up effect lands after ours",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     d.ignoreFirstEffect = true;
                     StopAfter(d, s, 4);
                 },
                 HostLoop::Outcome::Stopped, 1, 2},
        LoopCase{"layout rejected", [](ScriptedDaemon& d, StopSignal&) { d.rejectLayout = true; },
                 HostLoop::Outcome::LayoutRejected, 1, 0}),
    [](const auto& testInfo) {
        std::string name;
        for (const char* c = testInfo.param.what; *c != '\0'; ++c) {
            name += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
        }
        return name;
    });

}  // namespace

// The poll's cheap comparison: replies that differ only in their colours
// have one text of key places; any change of a key's place, code or index,
// or of the number of keys, gives another.
TEST(KeyPlaces, OnlyTheColoursAreLeftOut)
{
    const auto reply = [](const std::string& keys) {
        return R"({"amplitude":60,"backmode":0,"backmodebrightness":100,"keys":[)" + keys +
               R"(],"mode":2,"timestamp":123})";
    };
    const std::string base = R"({"col":0,"color":"#FF8000","keyCode":7,"keyIndex":1,"row":0},)"
                             R"({"col":1,"color":"#000000","keyCode":8,"keyIndex":2,"row":0})";
    std::string expected;
    ASSERT_TRUE(KeyPlacesText(reply(base), expected));
    EXPECT_EQ(expected.find("FF8000"), std::string::npos) << expected;

    struct Case {
        const char* what;
        std::string keys;
        bool same;
    };
    const Case cases[] = {
        {"other colours", R"({"col":0,"color":"#123456","keyCode":7,"keyIndex":1,"row":0},)"
                          R"({"col":1,"color":"#FFFFFF","keyCode":8,"keyIndex":2,"row":0})", true},
        {"a key moved", R"({"col":0,"color":"#FF8000","keyCode":7,"keyIndex":1,"row":1},)"
                        R"({"col":1,"color":"#000000","keyCode":8,"keyIndex":2,"row":0})", false},
        {"another code", R"({"col":0,"color":"#FF8000","keyCode":9,"keyIndex":1,"row":0},)"
                         R"({"col":1,"color":"#000000","keyCode":8,"keyIndex":2,"row":0})", false},
        {"a key fewer", R"({"col":0,"color":"#FF8000","keyCode":7,"keyIndex":1,"row":0})", false},
        {"no keys", "", false},
    };
    for (const Case& c : cases) {
        std::string places;
        EXPECT_TRUE(KeyPlacesText(reply(c.keys), places)) << c.what;
        EXPECT_EQ(places == expected, c.same) << c.what << ": " << places;
    }

    std::string places = "left over";
    EXPECT_FALSE(KeyPlacesText(R"({"status": "empty"})", places));
    EXPECT_TRUE(places.empty());
    EXPECT_FALSE(KeyPlacesText(R"({"keys":[{"color":"#12)", places)) << "a cut reply";
}
