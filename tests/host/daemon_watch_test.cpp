#include "daemon_watch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

namespace {

TEST(LauncherTooltip, SaysTheMostPressingStateFirst)
{
    struct Case {
        LauncherFacts facts;
        const char* tooltip;
    };
    for (const Case& c : {
             Case{{false, true, true, "board"}, "Tonvik: daemon not running"},
             Case{{true, true, true, "board"}, "Tonvik: paused"},
             Case{{true, false, false, "board"}, "Tonvik: no keyboard found"},
             Case{{true, true, false, ""}, "Tonvik: no layout chosen"},
             Case{{true, true, false, "Full-size ANSI, 104 keys"}, "Tonvik: lighting Full-size ANSI, 104 keys"},
         }) {
        EXPECT_EQ(LauncherTooltip(c.facts), c.tooltip);
    }
}

TEST(LauncherTooltip, CutsALongLayoutNameOnACharacterBoundary)
{
    std::string name;
    for (int i = 0; i < 100; ++i) {
        name += "\xC3\xA9";  // é, two bytes
    }
    const std::string tooltip = LauncherTooltip({true, true, false, name});
    EXPECT_LE(tooltip.size(), kMaxTooltipChars);
    EXPECT_EQ(tooltip.rfind("Tonvik: lighting \xC3\xA9", 0), 0u);
    EXPECT_EQ((tooltip.size() - std::string("Tonvik: lighting ").size()) % 2, 0u) << "no half character at the end";
}

TEST(KeyboardFoundInStatus, ReadsTheStatusRouteAndNothingElse)
{
    EXPECT_EQ(KeyboardFoundInStatus(R"({"keyboard": {"found": true, "vendorId": "320F"}, "resting": false})"), true);
    EXPECT_EQ(KeyboardFoundInStatus(R"({"keyboard": {"found": false}})"), false);
    EXPECT_EQ(KeyboardFoundInStatus(R"({"status": "empty"})"), std::nullopt);
    EXPECT_EQ(KeyboardFoundInStatus(R"({"keyboard": {"found": "yes"}})"), std::nullopt);
    EXPECT_EQ(KeyboardFoundInStatus("<html>"), std::nullopt);
    EXPECT_EQ(KeyboardFoundInStatus(""), std::nullopt);
}

// A daemon whose port and keyboard the test moves; it answers the status route only.
class MovingDaemon : public HttpClient {
public:
    struct State {
        uint16_t port = 0;  // 0: not running
        bool keyboard = false;
    };
    explicit MovingDaemon(std::mutex& mutex, State& state) : m_mutex(mutex), m_state(state) {}

    std::optional<HttpReply> Get(uint16_t port, const std::string& target, int) override
    {
        std::lock_guard lock(m_mutex);
        if (port != m_state.port) {
            return std::nullopt;
        }
        if (target != "/api/status") {
            return HttpReply{200, "application/json", R"({"status": "wrong route"})"};
        }
        return HttpReply{200, "application/json",
                         std::string(R"({"keyboard": {"found": )") + (m_state.keyboard ? "true" : "false") + "}}"};
    }

private:
    std::mutex& m_mutex;
    State& m_state;
};

TEST(DaemonWatch, FollowsTheDaemonAcrossPortsAndTellsEachChange)
{
    std::mutex mutex;
    MovingDaemon::State state;
    std::atomic<int> changes{0};
    DaemonWatch watch(std::make_unique<MovingDaemon>(mutex, state), 10, [&] { ++changes; });
    const auto waitFor = [&](auto condition) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!condition() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return condition();
    };
    const auto set = [&](uint16_t port, bool keyboard) {
        std::lock_guard lock(mutex);
        state = {port, keyboard};
    };

    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(watch.Current().answers);
    EXPECT_EQ(changes, 0) << "nothing to tell while nothing answers";

    set(9193, false);
    ASSERT_TRUE(waitFor([&] { return watch.Current().answers; }));
    EXPECT_EQ(watch.Current().port, 9193);
    EXPECT_FALSE(watch.Current().keyboardFound);
    EXPECT_EQ(changes, 1);

    set(9193, true);
    ASSERT_TRUE(waitFor([&] { return watch.Current().keyboardFound; }));
    EXPECT_EQ(changes, 2);

    set(0, false);
    ASSERT_TRUE(waitFor([&] { return !watch.Current().answers; }));
    EXPECT_EQ(changes, 3);

    // Back on another port: found again by the search.
    set(9199, true);
    ASSERT_TRUE(waitFor([&] { return watch.Current().answers; }));
    EXPECT_EQ(watch.Current().port, 9199);
    EXPECT_EQ(changes, 4);
}

TEST(DaemonWatch, NamesTheHostedLayoutOnlyWhileItIsHostedAndTellsItsChange)
{
    std::mutex mutex;
    MovingDaemon::State state{9191, true};
    std::atomic<int> changes{0};
    DaemonWatch watch(std::make_unique<MovingDaemon>(mutex, state), 10, [&] { ++changes; });
    const auto nameBecomes = [&](const std::string& name) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (watch.Current().layoutName != name && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return watch.Current().layoutName == name;
    };
    ASSERT_TRUE(nameBecomes(""));
    {
        // Without a name of its own, the layout is named as the host names it.
        HostChoices choices({"{}", "board.json", {}, {}, {}});
        watch.SetHosted(&choices);
        EXPECT_TRUE(nameBecomes("board.json"));
        const int before = changes;
        choices.Set({R"({"name": "Other board", "layouts": {}})", "other.json", {}, {}, {}});
        EXPECT_TRUE(nameBecomes("Other board"));
        EXPECT_GT(changes, before);
        watch.SetHosted(nullptr);
    }
    EXPECT_TRUE(nameBecomes(""));
}

}  // namespace
