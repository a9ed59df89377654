#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "host_settings.h"

namespace {

struct SettingsCase {
    const char* what;
    std::string conf;
    std::vector<std::string> args;
    HostCommand::Action action;
    std::string error;  // the start of the expected message, conf's or the command line's
    std::string layout;
    int mode;
    int sensitivity;
    uint16_t port;
    bool pauseWhenLocked = true;
};

class HostSettingsTest : public ::testing::TestWithParam<SettingsCase> {};

TEST_P(HostSettingsTest, ConfThenCommandLine)
{
    const SettingsCase& c = GetParam();
    HostSettings settings;
    const auto confError = ReadHostConf(c.conf, "/etc/conf", settings);
    if (c.error.starts_with("line")) {
        ASSERT_TRUE(confError.has_value());
        EXPECT_EQ(confError->rfind(c.error, 0), 0u) << *confError;
        EXPECT_EQ(settings.effect.mode, 19) << "a bad host.conf changes nothing";
        return;
    }
    ASSERT_FALSE(confError.has_value()) << *confError;
    const HostCommand command = ParseHostArguments(c.args, false, settings);
    EXPECT_EQ(command.action, c.action);
    EXPECT_EQ(command.error.rfind(c.error, 0), 0u) << command.error;
    EXPECT_EQ(settings.layoutPath, c.layout);
    EXPECT_EQ(settings.effect.mode, c.mode);
    EXPECT_EQ(settings.effect.sensitivity, c.sensitivity);
    EXPECT_EQ(settings.port, c.port);
    EXPECT_EQ(settings.pauseWhenLocked, c.pauseWhenLocked);
}

using A = HostCommand::Action;
INSTANTIATE_TEST_SUITE_P(
    Cases, HostSettingsTest,
    ::testing::Values(
        SettingsCase{"defaults", "", {}, A::Run, "", "", 19, 60, 0},
        SettingsCase{"conf, relative layout from its directory",
                     "# mine\n\nlayout = boards/tkl.json\nmode = 5\r\nsensitivity=80\nport = 9193\n",
                     {}, A::Run, "", "/etc/conf/boards/tkl.json", 5, 80, 9193},
        SettingsCase{"byte order mark and CRLF of a Windows editor",
                     "\xEF\xBB\xBFlayout = C:\\boards\\k.json\r\nmode = 3\r\n", {}, A::Run, "", "C:\\boards\\k.json", 3, 60, 0},
        SettingsCase{"command line over conf", "layout = /a.json\nmode = 5\n",
                     {"--layout", "b.json", "--mode=100", "--port", "9199"}, A::Run, "", "b.json", 100, 60, 9199},
        SettingsCase{"a locked session kept lit", "when-locked = keep\n", {}, A::Run, "", "", 19, 60, 0, false},
        SettingsCase{"a locked session paused", "when-locked = keep\nwhen-locked=pause\n", {}, A::Run, "", "", 19, 60,
                     0, true},
        SettingsCase{"when-locked neither", "when-locked = off\n", {}, A::Run, "line 1: when-locked: 'off'", "", 19,
                     60, 0},
        SettingsCase{"unknown conf key", "colour = red\n", {}, A::Run, "line 1: unknown setting 'colour'", "", 19, 60, 0},
        SettingsCase{"no equals sign", "\nmode 5\n", {}, A::Run, "line 2: 'mode 5'", "", 19, 60, 0},
        SettingsCase{"mode out of range in conf", "mode = 22\n", {}, A::Run, "line 1: mode:", "", 19, 60, 0},
        SettingsCase{"trailing junk", "sensitivity = 60x\n", {}, A::Run, "line 1: sensitivity:", "", 19, 60, 0},
        SettingsCase{"port outside the daemon's", "", {"--port", "8080"}, A::UsageError, "--port:", "", 19, 60, 0},
        SettingsCase{"missing value", "", {"--mode"}, A::UsageError, "--mode needs a value", "", 19, 60, 0},
        SettingsCase{"unknown option", "", {"--colour", "red"}, A::UsageError, "unknown option", "", 19, 60, 0},
        SettingsCase{"-hide is the launcher's", "", {"-hide"}, A::UsageError, "unexpected argument", "", 19, 60, 0},
        SettingsCase{"web port in the daemon's range", "", {"--web", "--web-port", "9195"}, A::UsageError,
                     "--web-port:", "", 19, 60, 0},
        SettingsCase{"help wins", "", {"--mode", "3", "--help"}, A::Help, "", "", 19, 60, 0}),
    [](const auto& testInfo) {
        std::string name;
        for (const char* c = testInfo.param.what; *c != '\0'; ++c) {
            name += std::isalnum(static_cast<unsigned char>(*c)) != 0 ? *c : '_';
        }
        return name;
    });

}  // namespace

namespace {

// host.conf rewritten with new values: only the changed keys' lines change.
// The launcher's two menu choices as host.conf keeps them: each read alone,
// the later line winning, and a bad value refused with the line.
TEST(HostSettings, ReadsTheLaunchersPauseAndStartWithWindowsChoices)
{
    struct Case {
        const char* conf;
        bool userPaused;
        bool startWithWindows;
        const char* error;
    };
    for (const Case& c : {Case{"", false, true, nullptr}, Case{"lighting = paused\n", true, true, nullptr},
                          Case{"lighting = paused\nlighting = on\n", false, true, nullptr},
                          Case{"start-with-windows = no\n", false, false, nullptr},
                          Case{"start-with-windows=no\nlighting=paused\n", true, false, nullptr},
                          Case{"lighting = off\n", false, true, "line 1: lighting: 'off'"},
                          Case{"mode = 5\nstart-with-windows = 0\n", false, true, "line 2: start-with-windows:"}}) {
        HostSettings settings;
        const auto error = ReadHostConf(c.conf, "/etc/conf", settings);
        if (c.error != nullptr) {
            ASSERT_TRUE(error.has_value()) << c.conf;
            EXPECT_EQ(error->rfind(c.error, 0), 0u) << *error;
            EXPECT_EQ(settings.effect.mode, 19) << "a bad host.conf changes nothing: " << c.conf;
            continue;
        }
        ASSERT_FALSE(error.has_value()) << *error;
        EXPECT_EQ(settings.userPaused, c.userPaused) << c.conf;
        EXPECT_EQ(settings.startWithWindows, c.startWithWindows) << c.conf;
    }
}

TEST(HostConfUpdate, ChangesOnlyTheChangedKeysLines)
{
    struct Case {
        const char* what;
        std::string before;
        std::vector<std::pair<std::string, std::string>> values;
        std::string after;
    };
    const std::vector<Case> cases = {
        {"comments, blank lines and other keys kept",
         "# mine\n\nlayout = a.json\n  # indented\nport = 9192\nmode = 3\n", {{"mode", "5"}, {"layout", "ansi-60"}},
         "# mine\n\nlayout = ansi-60\n  # indented\nport = 9192\nmode = 5\n"},
        {"a missing key appended, a last line without its newline ended",
         "layout = a.json", {{"brightness", "40"}}, "layout = a.json\nbrightness = 40\n"},
        {"a Windows editor's byte order mark and CRLF kept",
         "\xEF\xBB\xBFmode = 3\r\n# note\r\n", {{"mode", "4"}, {"sensitivity", "80"}},
         "\xEF\xBB\xBFmode = 4\r\n# note\r\nsensitivity = 80\r\n"},
        {"every line of a repeated key, and a commented-out one left alone",
         "#mode = 1\nmode=2\nmode = 3\n", {{"mode", "9"}}, "#mode = 1\nmode = 9\nmode = 9\n"},
        {"an empty file", "", {{"layout", "layouts/user-0123456789abcdef.json"}},
         "layout = layouts/user-0123456789abcdef.json\n"},
        {"the header of a host.conf the host makes, comments only", HostConfHeader(), {{"layout", "ansi-60"}},
         HostConfHeader() + "layout = ansi-60\n"},
    };
    for (const Case& c : cases) {
        const std::string after = UpdateHostConf(c.before, c.values);
        EXPECT_EQ(after, c.after) << c.what;
        HostSettings settings;
        EXPECT_FALSE(ReadHostConf(after, "/conf", settings).has_value()) << c.what;
    }
}

// The host's range of effect modes is the daemon's table of colour styles
// plus the screen mode, and its message names that range.
TEST(HostSettings, TakesAsAModeEveryColourStyleOfTheDaemonAndTheScreenMode)
{
    for (const api_contract::ColourStyle& style : api_contract::kColourStyles) {
        EXPECT_EQ(CheckEffectSetting("mode", style.number), std::nullopt) << style.number;
    }
    EXPECT_EQ(CheckEffectSetting("mode", api_contract::kScreenMode), std::nullopt);
    const std::string range = std::to_string(api_contract::kFirstColourStyle) + "-" +
                              std::to_string(api_contract::kLastColourStyle) + ", or " +
                              std::to_string(api_contract::kScreenMode);
    for (const int outside : {api_contract::kFirstColourStyle - 1, api_contract::kLastColourStyle + 1,
                              api_contract::kScreenMode - 1, api_contract::kScreenMode + 1}) {
        const std::optional<std::string> error = CheckEffectSetting("mode", outside);
        ASSERT_TRUE(error.has_value()) << outside;
        EXPECT_NE(error->find("no effect mode (" + range + " for the screen colours)"), std::string::npos) << *error;
    }
}

TEST(HostSettings, TheManualNamesTheSameRangeOfModes)
{
    std::ifstream in(TONVIK_HOST_MANUAL, std::ios::binary);
    const std::string manual{std::istreambuf_iterator<char>(in), {}};
    ASSERT_FALSE(manual.empty()) << TONVIK_HOST_MANUAL " is missing";
    const std::string range = std::to_string(api_contract::kFirstColourStyle) + " to " +
                              std::to_string(api_contract::kLastColourStyle) + " a spectrum bar style, " +
                              std::to_string(api_contract::kRippleMode) + " the ripple, " +
                              std::to_string(api_contract::kScreenMode) + " the screen colours";
    EXPECT_NE(manual.find(range), std::string::npos) << range;
}

}  // namespace

namespace {

// listen and delay, from host.conf and then the command line, and the checks
// the settings API makes before writing either into host.conf.
TEST(HostSettings, ListenAndDelayComeFromConfThenCommandLine)
{
    HostSettings settings;
    ASSERT_EQ(ReadHostConf("", "/c", settings), std::nullopt);
    EXPECT_EQ(settings.listen.Id(), "default");
    EXPECT_EQ(settings.delay.Text(), "auto");

    ASSERT_EQ(ReadHostConf("listen = app:Music Player\ndelay = 120\n", "/c", settings), std::nullopt);
    EXPECT_EQ(settings.listen, (CaptureSource{CaptureSource::Kind::App, "Music Player"}));
    EXPECT_EQ(settings.delay, (CaptureDelay{false, 120}));
    EXPECT_EQ(ParseHostArguments({"--listen=output:alsa_output.pci", "--delay", "auto"}, false, settings).action,
              HostCommand::Action::Run);
    EXPECT_EQ(settings.listen.Id(), "output:alsa_output.pci");
    EXPECT_EQ(settings.delay.Text(), "auto");

    const struct {
        const char* conf;
        const char* error;
    } bad[] = {
        {"listen = speakers\n", "line 1: listen: 'speakers' is not default, output:<name> or app:<name>"},
        {"listen = app:\n", "line 1: listen: 'app:' is not default"},
        {"delay = 501\n", "line 1: delay: '501' is not auto or a whole number of milliseconds from 0 to 500"},
        {"delay = -3\n", "line 1: delay: '-3' is not auto"},
    };
    for (const auto& c : bad) {
        HostSettings kept = settings;
        const std::optional<std::string> error = ReadHostConf(c.conf, "/c", kept);
        ASSERT_TRUE(error.has_value()) << c.conf;
        EXPECT_EQ(error->rfind(c.error, 0), 0u) << *error;
        EXPECT_EQ(kept.listen, settings.listen) << "a bad host.conf changes nothing";
    }

    EXPECT_EQ(CheckListenSetting("listen", "app:Music"), std::nullopt);
    EXPECT_EQ(CheckListenSetting("delay", "0"), std::nullopt);
    // A name that would end the line, or lose its blanks, in host.conf.
    EXPECT_NE(CheckListenSetting("listen", "app:Music\nmode = 5"), std::nullopt);
    EXPECT_NE(CheckListenSetting("listen", "app:Music "), std::nullopt);
    EXPECT_NE(CheckListenSetting("delay", "auto\r"), std::nullopt);
    EXPECT_NE(CheckListenSetting("listen", "Music"), std::nullopt);
    EXPECT_NE(CheckListenSetting("mode", "5"), std::nullopt);
}

}  // namespace
