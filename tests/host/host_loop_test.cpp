// The host loop's decisions against a scripted daemon behind the HTTP seam:
// what goes up again after a restart, a loss, a start-up race, a rejection,
// a pause and a sleep.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "host_loop.h"

namespace {

constexpr char kLayout[] = R"({"layouts":{"rows":2,"cols":2,"keys":[{"row":0,"col":0,"code":7,"index":1}]}})";

// A daemon as the host sees it: the hardware route answers, the layout route
// takes or rejects the layout, the source route takes the choice (or refuses
// it, as a capture without one does), the effect route reports the keys (ours
// after an upload, the start-up grid's before) and the mode.
class ScriptedDaemon : public HttpClient {
public:
    std::optional<HttpReply> Get(uint16_t, const std::string& target, int) override
    {
        ++requests;
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
        if (target.starts_with("/api/audio/source?")) {
            ++sourcesSent;
            sourceTarget = target;
            return HttpReply{200, "application/json; charset=utf-8",
                             refuseSource ? R"({"error":"this capture records the default output only"})"
                                          : R"({"current":"app:Music Player","delay":"200","delayMs":200})"};
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
    bool refuseSource = false;
    std::string sourceTarget;
    int sourcesSent = 0;
    bool hasLayout = false;
    int mode = 19;
    int uploads = 0;
    int effectsSet = 0;
    int polls = 0;
    std::atomic<int> requests{0};  // of any kind; read by the test's own thread too
};

struct LoopCase {
    const char* what;
    std::function<void(ScriptedDaemon&, StopSignal&)> arrange;
    HostLoop::Outcome outcome;
    int uploads;
    int effectsSet;
    int sourcesSent;  // once after every upload the daemon took, refused or not
};

class HostLoopTest : public ::testing::TestWithParam<LoopCase> {};

TEST_P(HostLoopTest, SendsWhatTheDaemonLacks)
{
    const LoopCase& c = GetParam();
    ScriptedDaemon daemon;
    StopSignal stop;
    c.arrange(daemon, stop);
    DaemonApi api(daemon);
    Choices choices{kLayout, "test.json", {}, {CaptureSource::Kind::App, "Music Player"}, {false, 200}};
    choices.effect.mode = 2;
    HostChoices shared(choices);
    const PauseState pause;
    int frames = 0;
    HostLoop loop(api, stop, shared, pause, 0, [&frames](uint16_t, const EffectState&) { ++frames; });
    EXPECT_EQ(loop.Run(), c.outcome);
    EXPECT_EQ(daemon.uploads, c.uploads);
    EXPECT_EQ(daemon.effectsSet, c.effectsSet);
    EXPECT_EQ(daemon.sourcesSent, c.sourcesSent);
    if (c.sourcesSent > 0) {
        EXPECT_EQ(daemon.sourceTarget, "/api/audio/source?id=app%3AMusic%20Player&delay=200");
    }
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
                 1, 1},
        LoopCase{"source refused",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     d.refuseSource = true;
                     StopAfter(d, s, 4);
                 },
                 HostLoop::Outcome::Stopped, 1, 1, 1},
        LoopCase{"restart between two polls",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     StopAfter(d, s, 6, [](ScriptedDaemon& daemon) {
                         if (daemon.polls == 3) {
                             daemon.hasLayout = false;
                             daemon.mode = 19;
                         }
                     });
                 },
                 HostLoop::Outcome::Stopped, 2, 2, 2},
        LoopCase{"gone and back",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     StopAfter(d, s, 6, [](ScriptedDaemon& daemon) {
                         if (daemon.polls == 2) {
                             daemon.downFor = 2;
                             daemon.hasLayout = false;
                         }
                     });
                 },
                 HostLoop::Outcome::Stopped, 2, 2, 2},
        LoopCase{"start-up effect lands after ours",
                 [](ScriptedDaemon& d, StopSignal& s) {
                     d.ignoreFirstEffect = true;
                     StopAfter(d, s, 4);
                 },
                 HostLoop::Outcome::Stopped, 1, 2, 1},
        LoopCase{"layout rejected", [](ScriptedDaemon& d, StopSignal&) { d.rejectLayout = true; },
                 HostLoop::Outcome::LayoutRejected, 1, 0, 0}),
    [](const auto& testInfo) {
        std::string name;
        for (const char* c = testInfo.param.what; *c != '\0'; ++c) {
            name += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
        }
        return name;
    });

}  // namespace

namespace {

// A pause that comes while the loop polls (or is there from the start), and
// its end: whether the daemon hears nothing meanwhile, what goes up again
// after it, and the log lines it leaves.
struct PauseCase {
    const char* what;
    bool pauseWhenLocked;
    std::vector<PauseReason> reasons;  // set together, cleared in this order
    bool fromStart;                    // set before the loop runs, else at its third poll
    bool pauses;
    int uploads;
    std::vector<std::string> lines;    // the log's pause and resume lines, in order
};

class HostLoopPauseTest : public ::testing::TestWithParam<PauseCase> {};

std::vector<std::string> PauseLines(const std::string& log)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = std::min(log.find('\n', start), log.size());
        const std::string line = log.substr(start, end - start);
        for (const char* word : {"pausing: ", "resuming: "}) {
            if (const size_t at = line.find(word); at != std::string::npos) {
                lines.push_back(line.substr(at));
            }
        }
        start = end + 1;
    }
    return lines;
}

TEST_P(HostLoopPauseTest, LeavesTheDaemonAloneWhilePaused)
{
    const PauseCase& c = GetParam();
    constexpr int kPauseAtPoll = 3;
    constexpr int kPollsAfterResume = 3;
    ScriptedDaemon daemon;
    StopSignal stop;
    PauseState pause(c.pauseWhenLocked);
    std::atomic<bool> pauseSet{false};
    std::atomic<int> resumedAtPoll{0};  // 0 until every reason is cleared
    int requestsDuringPause = -1;

    const auto setAll = [&] {
        for (const PauseReason reason : c.reasons) {
            pause.Set(reason, true);
        }
        pauseSet = true;
    };
    daemon.script = [&](ScriptedDaemon& d) {
        if (!c.fromStart && d.polls == kPauseAtPoll) {
            setAll();
        }
        if (resumedAtPoll != 0 && d.polls >= resumedAtPoll + kPollsAfterResume) {
            stop.Request();
        }
        if (d.polls > 100) {
            stop.Request();  // a pause that never ended the test would otherwise hang
        }
    };
    testing::internal::CaptureStderr();
    if (c.fromStart) {
        setAll();
    }
    // Clears the reasons after three poll periods in which a polling loop
    // would have asked the daemon at least twice.
    std::thread resumer([&] {
        while (!pauseSet && !stop.Requested()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        const int before = daemon.requests;
        std::this_thread::sleep_for(std::chrono::milliseconds(3 * HostLoop::kKeepAlivePeriodMs));
        requestsDuringPause = daemon.requests - before;
        resumedAtPoll = c.fromStart ? 1 : kPauseAtPoll;
        for (const PauseReason reason : c.reasons) {
            pause.Set(reason, false);
        }
    });

    DaemonApi api(daemon);
    Choices choices{kLayout, "test.json", {}, {}, {}};
    choices.effect.mode = 2;
    HostChoices shared(choices);
    HostLoop loop(api, stop, shared, pause, 0);
    EXPECT_EQ(loop.Run(), HostLoop::Outcome::Stopped);
    resumer.join();
    const std::string log = testing::internal::GetCapturedStderr();

    if (c.pauses) {
        EXPECT_EQ(requestsDuringPause, 0) << "requests reached the daemon while paused";
    } else {
        EXPECT_GE(requestsDuringPause, 2) << "the loop stopped polling though nothing pauses it";
    }
    EXPECT_GE(daemon.polls, resumedAtPoll + kPollsAfterResume) << "no polls after the resume";
    EXPECT_EQ(daemon.uploads, c.uploads);
    EXPECT_EQ(daemon.mode, 2);
    EXPECT_EQ(PauseLines(log), c.lines) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HostLoopPauseTest,
    ::testing::Values(
        PauseCase{"lock",
                  true,
                  {PauseReason::SessionLocked},
                  false,
                  true,
                  1,
                  {"pausing: the session is locked", "resuming: the session is unlocked"}},
        PauseCase{"lock kept lit", false, {PauseReason::SessionLocked}, false, false, 1, {}},
        PauseCase{"switched away though locked screens stay lit",
                  false,
                  {PauseReason::SessionInactive},
                  false,
                  true,
                  1,
                  {"pausing: the session is not the active one on its seat",
                   "resuming: the session is the active one again"}},
        PauseCase{"sleep sends the layout again",
                  true,
                  {PauseReason::Sleeping},
                  false,
                  true,
                  2,
                  {"pausing: the system is going to sleep", "resuming: the system woke up"}},
        PauseCase{"locked then asleep: one line each way",
                  true,
                  {PauseReason::SessionLocked, PauseReason::Sleeping},
                  false,
                  true,
                  2,
                  {"pausing: the session is locked", "resuming: the system woke up"}},
        PauseCase{"the user's own pause",
                  true,
                  {PauseReason::User},
                  false,
                  true,
                  1,
                  {"pausing: lighting paused by the user", "resuming: lighting resumed by the user"}},
        PauseCase{"started locked: not even the daemon is looked for",
                  true,
                  {PauseReason::SessionLocked},
                  true,
                  true,
                  1,
                  {"pausing: the session is locked", "resuming: the session is unlocked"}}),
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
