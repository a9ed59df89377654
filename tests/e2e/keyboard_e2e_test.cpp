// The real daemon on the emulated keyboard: what reaches the keyboard, when
// it stops, unplugging and replugging, and a keyboard that never answers.
#include <gtest/gtest.h>
#include <json/json.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "device/fake_hid_log.h"
#include "e2e/daemon_fixture.h"
#include "e2e/pulse_fixture.h"
#include "e2e/x_server.h"

namespace {

using Env = std::vector<std::pair<std::string, std::string>>;

// Bar style 2 colours the bars by picture row only and never moves them: each
// row of keys gets its own fixed colour (red, green and blue all in use), so
// the packets can be compared key by key with what the effect route reports.
constexpr int kBarStyle = 2;
constexpr char kEffectTarget[] = "/api/keyboard/musiceffect?param=2&60&0&100&1";

uint64_t NowUs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void SleepMs(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A 6 x 21 layout for the default keyboard whose first `keys` cells, column
// by column, carry key indices 1 to keys.
std::string LayoutJson(int keys, int deviceMode)
{
    std::string json = R"({"name":"e2e","vendorId":12815,"productId":20565,"deviceMode":)" +
                       std::to_string(deviceMode) + R"(,"layouts":{"rows":6,"cols":21,"keys":[)";
    int index = 1;
    for (int c = 0; c < 21 && index <= keys; ++c) {
        for (int r = 0; r < 6 && index <= keys; ++r, ++index) {
            json += (index > 1 ? "," : "");
            json += R"({"row":)" + std::to_string(r) + R"(,"col":)" + std::to_string(c) + R"(,"code":)" +
                    std::to_string(100 + index) + R"(,"index":)" + std::to_string(index) + "}";
        }
    }
    return json + "]}}";
}

bool IsKeyPacket(const FakeHidEvent& event)
{
    return event.kind == "write" && event.bytes.size() == 65 && event.bytes[1] == 0xAA && event.bytes[2] == 0x32;
}

// A full output report: report ID, the 32 data bytes of the levels, zeros up to 64.
bool IsColumnReport(const FakeHidEvent& event)
{
    return event.kind == "write" && event.bytes.size() == 65 && event.bytes[1] == 0xAA && event.bytes[2] == 0x35;
}

// Row, column, code and index of every key the effect route reports.
std::vector<std::tuple<int, int, int, int>> ReportedKeys(const std::string& body)
{
    Json::Value reply;
    std::vector<std::tuple<int, int, int, int>> keys;
    if (Json::Reader().parse(body, reply)) {
        for (const auto& key : reply["keys"]) {
            keys.emplace_back(key["row"].asInt(), key["col"].asInt(), key["keyCode"].asInt(), key["keyIndex"].asInt());
        }
    }
    return keys;
}

// Accepted per-key packets grouped into frames (a frame starts at offset 0).
std::vector<std::vector<FakeHidEvent>> KeyFrames(const std::vector<FakeHidEvent>& events)
{
    std::vector<std::vector<FakeHidEvent>> frames;
    for (const auto& event : events) {
        if (!IsKeyPacket(event) || !event.ok) {
            continue;
        }
        const int offset = event.bytes[4] | event.bytes[5] << 8;
        if (offset == 0 || frames.empty()) {
            frames.emplace_back();
        }
        frames.back().push_back(event);
    }
    return frames;
}

// The key colour table a frame's packets carry.
std::vector<uint8_t> KeyTable(const std::vector<FakeHidEvent>& frame)
{
    std::vector<uint8_t> table;
    for (const auto& packet : frame) {
        table.insert(table.end(), packet.bytes.begin() + 9, packet.bytes.end());
    }
    return table;
}

// The colours of a table of 104 keys: key index to 0xRRGGBB.
std::map<int, uint32_t> TableColours(const std::vector<uint8_t>& table)
{
    std::map<int, uint32_t> colours;
    for (int k = 0; k < 104; ++k) {
        colours[table[4 * k]] = static_cast<uint32_t>(table[4 * k + 1] << 16 | table[4 * k + 2] << 8 | table[4 * k + 3]);
    }
    return colours;
}

// The colours the effect reply reports for the keys with a code: key index to 0xRRGGBB.
std::map<int, uint32_t> ReportedColours(const std::string& body)
{
    Json::Value reply;
    EXPECT_TRUE(Json::Reader().parse(body, reply)) << body;
    std::map<int, uint32_t> reported;
    for (const auto& key : reply["keys"]) {
        if (key["keyCode"].asInt() > 0) {
            reported[key["keyIndex"].asInt()] = static_cast<uint32_t>(std::stoul(key["color"].asString().substr(1), nullptr, 16));
        }
    }
    return reported;
}

class KeyboardE2E : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/tonvik-kbd-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        m_log = m_dir + "/hid.log";
        m_control = m_dir + "/hid.control";
    }

    void TearDown() override
    {
        m_daemon.reset();
        ::unlink(m_log.c_str());
        ::unlink(m_control.c_str());
        ::unlink((m_control + ".new").c_str());
        ::rmdir(m_dir.c_str());
    }

    // The daemon on the emulated keyboard; false when the daemon is not the
    // Linux binary the stand-in library can be slipped under.
    bool UsesEmulatedKeyboard() const
    {
        const char* custom = std::getenv("TONVIK_DAEMON_CMD");
        return custom == nullptr || custom[0] == '\0';
    }

    // Extra environment and a runtime directory (empty: a private one).
    void StartDaemon(const Env& extra = {}, const std::string& runtimeDir = {})
    {
        Daemon::Options options;
        options.runtimeDir = runtimeDir;
        std::string libraryPath = TONVIK_FAKE_HID_DIR;
        if (const char* inherited = std::getenv("LD_LIBRARY_PATH"); inherited != nullptr && inherited[0] != '\0') {
            libraryPath += std::string(":") + inherited;
        }
        options.env = {{"LD_LIBRARY_PATH", libraryPath},
                       {"TONVIK_FAKE_HID_LOG", m_log},
                       {"TONVIK_FAKE_HID_CONTROL", m_control}};
        options.env.insert(options.env.end(), extra.begin(), extra.end());
        m_daemon = std::make_unique<Daemon>(options);
        ASSERT_NE(m_daemon->Port(), 0) << m_daemon->Stderr();
    }

    uint16_t Port() const { return m_daemon->Port(); }

    void UploadLayout(int keys, int deviceMode)
    {
        const HttpReply reply =
            Get(Port(), "/api/keyboard/musiceffect/layout?layout=" + PercentEncode(LayoutJson(keys, deviceMode)));
        ASSERT_NE(reply.body.find("layout received"), std::string::npos) << reply.raw;
    }

    // Polls the effect route every 200 ms for the given time; returns the last reply body.
    std::string Poll(int forMs, const char* target = kEffectTarget)
    {
        std::string body;
        const uint64_t end = NowUs() + static_cast<uint64_t>(forMs) * 1000u;
        while (NowUs() < end) {
            body = Get(Port(), target).body;
            m_lastPollUs = NowUs();
            SleepMs(200);
        }
        return body;
    }

    // Start-up sets its default parameters (mode 19) on one of the lighting
    // worker's first ticks, and would overwrite the test's own if they came
    // first. Asked before any layout is uploaded, so no frame goes out.
    void WaitForStartupDefaults()
    {
        const uint64_t end = NowUs() + 10000000u;
        while (Get(Port(), "/api/keyboard/musiceffect").body.find(R"("mode":19,)") == std::string::npos &&
               NowUs() < end) {
            SleepMs(20);
        }
    }

    void Control(const std::string& text) { SetFakeHidControl(m_control, text); }
    std::vector<FakeHidEvent> Events() const { return ReadFakeHidLog(m_log); }

    // The keyboard part of the status route's reply.
    std::string KeyboardStatus() const
    {
        const std::string body = Get(Port(), "/api/status").body;
        const size_t start = body.find(R"("keyboard": {)");
        const size_t end = body.find('}', start);
        return start == std::string::npos || end == std::string::npos ? body : body.substr(start, end + 1 - start);
    }

    std::string m_dir;
    std::string m_log;
    std::string m_control;
    std::unique_ptr<Daemon> m_daemon;
    uint64_t m_lastPollUs = 0;
};

TEST_F(KeyboardE2E, WithoutAKeyboardTheDaemonRunsOn)
{
    if (UsesEmulatedKeyboard()) {
        Control("unplugged");
        StartDaemon();
    } else {
        m_daemon = std::make_unique<Daemon>();
        ASSERT_NE(m_daemon->Port(), 0);
    }
    UploadLayout(104, 0);
    const std::string body = Poll(1200);
    EXPECT_NE(body.find("\"keys\":["), std::string::npos) << body;
    EXPECT_EQ(Get(Port(), "/api/audio/amplitude").body.rfind("{\"amplitude\":", 0), 0u);
    EXPECT_EQ(Get(Port(), "/api/keyboard/musiceffect/close").body, R"({"status": "close ok"})");
    int status = 0;
    EXPECT_FALSE(m_daemon->WaitExit(0, &status)) << "the daemon ended";
    const int stopped = m_daemon->Stop();
    EXPECT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) == 0) << stopped;
}

TEST_F(KeyboardE2E, WithoutSoundTheKeyboardIsLeftAlone)
{
    if (!UsesEmulatedKeyboard()) {
        GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
    }
    StartDaemon();
    SleepMs(500);
    EXPECT_TRUE(Events().empty()) << "hidapi used before any frame was sent";
    UploadLayout(104, 0);
    Poll(1000);
    for (const auto& event : Events()) {
        EXPECT_NE(event.kind, "write") << "a frame without a lit column went to the keyboard";
    }
}

// The daemon records from a private sound server whose default sink plays a
// steady tone, so the spectrum has bars in its first columns and frames go out.
class KeyboardWithSoundE2E : public KeyboardE2E {
protected:
    void SetUp() override
    {
        KeyboardE2E::SetUp();
        if (!UsesEmulatedKeyboard()) {
            GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
        }
        m_pulse = std::make_unique<PulseServer>();
        ASSERT_TRUE(m_pulse->Start()) << "the PulseAudio test server did not start; see " << m_pulse->RuntimeDir();
    }

    // The player ends before the daemon, the daemon before its sound server.
    void TearDown() override
    {
        m_player.Kill();
        KeyboardE2E::TearDown();
        m_pulse.reset();
    }

    // The daemon on the emulated keyboard, connected to the sound server (its
    // runtime directory is the server's, given as such), then the tone.
    void StartWithTone(const Env& extra = {})
    {
        Env env = m_pulse->ClientEnv();
        env.insert(env.end(), extra.begin(), extra.end());
        std::erase_if(env, [](const auto& entry) { return entry.first == "XDG_RUNTIME_DIR"; });
        StartDaemon(env, m_pulse->RuntimeDir());
        if (HasFatalFailure()) {
            return;
        }
        WaitForStartupDefaults();
        m_pulse->WaitUntilSettled();
        const pid_t player = m_pulse->Spawn(m_pulse->PlayCommand("tonvik_a", kToneSeconds));
        ASSERT_GT(player, 0) << "pacat did not start";
        m_player = Player(player);
    }

    // The daemon's capture stream as the sound server lists it: corked or not.
    std::string CaptureStreamState() const
    {
        const std::string listing = RunCommand({"pactl", "list", "source-outputs"}, m_pulse->ClientEnv(), 5000).out;
        if (listing.find("Corked: yes") != std::string::npos) {
            return "corked";
        }
        return listing.find("Corked: no") != std::string::npos ? "running" : "none";
    }

    // Waits, at most the limit, until the capture stream is in that state.
    bool WaitForCaptureStream(const std::string& state, int limitMs) const
    {
        const uint64_t end = NowUs() + static_cast<uint64_t>(limitMs) * 1000u;
        while (CaptureStreamState() != state && NowUs() < end) {
            SleepMs(100);
        }
        return CaptureStreamState() == state;
    }

    // Microseconds from `since` to the first key packet after it; 0 when none came.
    uint64_t FirstKeyPacketAfter(uint64_t since) const
    {
        for (const auto& event : Events()) {
            if (IsKeyPacket(event) && event.us >= since) {
                return event.us - since;
            }
        }
        return 0;
    }

    static constexpr double kToneSeconds = 15.0;
    std::unique_ptr<PulseServer> m_pulse;
    Player m_player;
};

TEST_F(KeyboardWithSoundE2E, PacketsCarryTheReportedColoursAndStopWithThePolling)
{
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    UploadLayout(104, 0);
    const std::string body = Poll(3000);

    const auto frames = KeyFrames(Events());
    ASSERT_GE(frames.size(), 10u);
    for (const auto& event : Events()) {
        if (event.kind == "write") {
            EXPECT_EQ(event.iface, 1) << "reports go to the vendor-page interface";
        }
    }

    // Every full frame: 8 packets at offsets 0, 56, ..., the last announcing 24 bytes and ending in the trailer.
    std::vector<std::map<int, uint32_t>> frameColours;
    for (const auto& frame : frames) {
        if (frame.size() != 8) {
            continue;
        }
        for (size_t i = 0; i < frame.size(); ++i) {
            const auto& bytes = frame[i].bytes;
            EXPECT_EQ(bytes[0], 0);
            EXPECT_EQ(bytes[3], i + 1 < frame.size() ? 56 : 24);
            EXPECT_EQ(bytes[4] | bytes[5] << 8, static_cast<int>(56 * i));
        }
        const std::vector<uint8_t> table = KeyTable(frame);
        EXPECT_EQ(table[416], 0xAA);
        EXPECT_EQ(table[417], 0x55);
        frameColours.push_back(TableColours(table));
    }
    ASSERT_FALSE(frameColours.empty());

    // The bar colours do not move, so some frame sent shows exactly what the route reports.
    const std::map<int, uint32_t> reported = ReportedColours(body);
    ASSERT_EQ(reported.size(), 104u);
    std::set<uint32_t> distinct;
    for (const auto& [index, colour] : reported) {
        distinct.insert(colour);
    }
    EXPECT_GE(distinct.size(), 3u) << "too few colours to tell the keys apart: " << body;
    bool matched = false;
    for (const auto& colours : frameColours) {
        matched = matched || colours == reported;
    }
    EXPECT_TRUE(matched) << "no frame carried the colours of the effect reply";

    // The host stops polling: nothing is sent 1.1 s after its last request.
    const uint64_t lastPoll = m_lastPollUs;
    SleepMs(2000);
    for (const auto& event : Events()) {
        if (event.kind == "write") {
            EXPECT_LT(event.us, lastPoll + 1100000u) << "a report went out long after the host stopped polling";
        }
    }
}

TEST_F(KeyboardWithSoundE2E, DeviceModeOneSendsColumnLevelsWithChecksum)
{
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    UploadLayout(104, 1);
    Poll(2000);
    size_t reports = 0;
    for (const auto& event : Events()) {
        if (event.kind != "write") {
            continue;
        }
        ASSERT_TRUE(IsColumnReport(event)) << "only column-level reports in device mode 1";
        ++reports;
        EXPECT_EQ(event.bytes[4], kBarStyle);
        EXPECT_EQ(event.bytes[5], 0);
        EXPECT_EQ(event.bytes[6], 100);
        unsigned sum = 0;
        for (size_t i = 0; i < event.bytes.size(); ++i) {
            sum += i == 32 ? 0 : event.bytes[i];
        }
        EXPECT_EQ(event.bytes[32], sum & 0xFF);
    }
    EXPECT_GE(reports, 10u);
}

// Broken layouts after a good one, on both layout routes: each is answered
// with its route's error body and changes nothing. Every broken document names
// other USB ids and device mode 0 before the point where it breaks, so one
// applied even in part would lose the keys or send the keyboard looking for
// another device.
TEST_F(KeyboardWithSoundE2E, RejectedLayoutsKeepTheKeysAndKeyboardOfTheGoodOne)
{
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    UploadLayout(104, 1);
    const auto goodKeys = ReportedKeys(Get(Port(), kEffectTarget).body);
    ASSERT_EQ(goodKeys.size(), 126u);

    const std::string broken = R"({"name":"broken","vendorId":1,"productId":2,"deviceMode":0,"layouts":{"rows":6,"cols":21,)";
    const std::string layoutRoute = "/api/keyboard/musiceffect/layout?layout=";
    const std::regex layoutError(R"(\{"error": "layout rejected: [^"\\]+"\})");
    const std::regex base64Error(R"(\{"status": "error", "message": "layout rejected: [^"\\]+", "encodedSize": [0-9]+, )"
                                 R"("decodedSize": [0-9]+, "timestamp": [0-9]+, "success": false\})");
    const struct {
        const char* what;
        std::string request;
        const std::regex& reply;
    } cases[] = {
        {"malformed", "GET " + layoutRoute + PercentEncode(broken + R"("keys":[{"row":0 "col":0,"code":1}]}})"),
         layoutError},
        {"wrong type half-way",
         "GET " + layoutRoute + PercentEncode(broken + R"("keys":[{"row":0,"col":0,"code":1},{"row":0,"col":"1"}]}})"),
         layoutError},
        // The name runs past the 131071-byte cap, so the document arrives cut.
        {"cut by the size cap",
         "GET " + layoutRoute + PercentEncode(broken + R"("keys":[]},"x":")") + std::string(140000, 'x') +
             PercentEncode(R"("})"),
         layoutError},
        // "bm90IGEgbGF5b3V0" is the Base64 text of "not a layout".
        {"Base64 of non-JSON", "GET /api/keyboard/layout/base64?data=bm90IGEgbGF5b3V0", base64Error},
    };
    for (const auto& [what, request, expected] : cases) {
        const HttpReply reply = SplitReply(Exchange(Port(), request + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"));
        EXPECT_TRUE(std::regex_match(reply.body, expected)) << what << ": " << reply.raw;
        EXPECT_EQ(reply.raw, ExpectedJsonReply(reply.body)) << what;
        EXPECT_EQ(ReportedKeys(Get(Port(), kEffectTarget).body), goodKeys) << what;
    }

    // The keyboard of the good layout still gets its column levels.
    const uint64_t afterBroken = NowUs();
    Poll(1500);
    size_t reports = 0;
    for (const auto& event : Events()) {
        if (event.kind == "write" && event.us > afterBroken) {
            EXPECT_TRUE(IsColumnReport(event));
            reports += event.ok ? 1 : 0;
        }
    }
    EXPECT_GE(reports, 5u);
}

TEST_F(KeyboardWithSoundE2E, UnpluggedKeyboardIsPickedUpAgainWhenReplugged)
{
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    const pid_t pid = m_daemon->Pid();
    UploadLayout(104, 0);
    Poll(1500);
    ASSERT_FALSE(KeyFrames(Events()).empty());
    const std::string found =
        R"("keyboard": {"found": true, "vendorId": "320F", "productId": "5055", "accessDenied": false})";
    EXPECT_EQ(KeyboardStatus(), found);

    Control("unplugged");
    Poll(2000);
    EXPECT_EQ(KeyboardStatus(),
              R"("keyboard": {"found": false, "vendorId": "320F", "productId": "5055", "accessDenied": false})");
    const auto unplugged = Events();
    size_t closes = 0;
    for (const auto& event : unplugged) {
        closes += event.kind == "close";
    }
    EXPECT_GE(closes, 1u) << "the lost keyboard was not closed";

    const uint64_t replugged = NowUs();
    Control("normal");
    Poll(2500);
    size_t resumed = 0;
    for (const auto& event : Events()) {
        resumed += event.kind == "write" && event.ok && event.us > replugged;
    }
    EXPECT_GE(resumed, 8u) << "frames did not resume after the replug";
    EXPECT_EQ(KeyboardStatus(), found);
    EXPECT_EQ(m_daemon->Pid(), pid);

    // One line per change, none for the searches while it was away.
    const std::string log = m_daemon->Stderr();
    EXPECT_EQ(MissingInOrder(log, {"tonvik: keyboard 320f:5055 found at fake-hid:1:vendor\n",
                                   "tonvik: warning: keyboard 320f:5055 lost (its writes fail); looking for it once "
                                   "a second while frames go out\n",
                                   "tonvik: keyboard 320f:5055 found again at fake-hid:1:vendor\n"}),
              "")
        << log;
    EXPECT_EQ(log.find(" lost "), log.rfind(" lost ")) << log;
    EXPECT_EQ(log.find("not found"), std::string::npos) << log;
}

TEST_F(KeyboardWithSoundE2E, KeyboardWithoutAccessIsReportedOnceWithTheUdevRule)
{
    Control("denied");
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    UploadLayout(104, 0);
    Poll(2500);
    const std::string denied =
        "tonvik: warning: keyboard 320f:5055 found at fake-hid:0:keyboard, but access is denied: the udev rule "
        "70-tonvik.rules must cover these ids (see tonvik(1)); then replug the keyboard\n";
    std::string log = m_daemon->Stderr();
    EXPECT_NE(log.find(denied), std::string::npos) << log;
    EXPECT_EQ(log.find("access is denied"), log.rfind("access is denied")) << "told more than once:\n" << log;
    EXPECT_EQ(KeyboardStatus(),
              R"("keyboard": {"found": true, "vendorId": "320F", "productId": "5055", "accessDenied": true})");

    // Access granted (the rule installed, the keyboard replugged): found.
    Control("normal");
    Poll(1500);
    log = m_daemon->Stderr();
    EXPECT_EQ(MissingInOrder(log, {denied, "tonvik: keyboard 320f:5055 found at fake-hid:1:vendor\n"}), "") << log;
}

TEST_F(KeyboardWithSoundE2E, SilentKeyboardDoesNotHoldUpTheApi)
{
    Control("silent");
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    UploadLayout(104, 0);
    for (int i = 0; i < 10; ++i) {
        const uint64_t asked = NowUs();
        const HttpReply reply = Get(Port(), kEffectTarget);
        EXPECT_NE(reply.body.find("\"keys\":["), std::string::npos);
        EXPECT_LT(NowUs() - asked, 2000000u) << "the API waited for the keyboard";
        SleepMs(200);
    }
    size_t unanswered = 0;
    for (const auto& event : Events()) {
        unanswered += event.kind == "read" && event.result == 0;
    }
    EXPECT_GE(unanswered, 2u);
    const int stopped = m_daemon->Stop();
    EXPECT_TRUE(WIFEXITED(stopped) && WEXITSTATUS(stopped) == 0) << stopped;
}

// Screen mode with screenToDevice set: the keyboard shows the screen.
TEST_F(KeyboardE2E, InScreenModeThePacketsCarryTheScreensColours)
{
    if (!UsesEmulatedKeyboard()) {
        GTEST_SKIP() << "the emulated keyboard works under the Linux daemon only";
    }
    XServer screen;
    ASSERT_TRUE(screen.Start()) << "Xvfb did not start";
    ASSERT_TRUE(screen.PaintHalves("#FF0000", "#0000FF"));
    ASSERT_NO_FATAL_FAILURE(StartDaemon({{"DISPLAY", screen.Display()}}));
    UploadLayout(104, 0);
    const std::string body = Poll(1500, "/api/keyboard/musiceffect?param=100&60&0&100&1");

    const std::map<int, uint32_t> reported = ReportedColours(body);
    ASSERT_EQ(reported.size(), 104u);
    // Key index 1 is the top left key, 104 the last of column 17: red and blue halves.
    EXPECT_EQ(reported.at(1), 0xFF0000u) << body;
    EXPECT_EQ(reported.at(104), 0x0000FFu) << body;
    bool matched = false;
    size_t whole = 0;
    for (const auto& frame : KeyFrames(Events())) {
        if (frame.size() == 8) {
            ++whole;
            matched = matched || TableColours(KeyTable(frame)) == reported;
        }
    }
    EXPECT_GE(whole, 10u);
    EXPECT_TRUE(matched) << "no frame carried the screen's colours";
}

// Left alone, the daemon rests: nothing reaches the keyboard and its capture
// stream is corked; the first effect request wakes it, answered as ever, and
// frames follow at once. (How fast is measured by scripts/bench_power.py.)
TEST_F(KeyboardWithSoundE2E, RestsWhenLeftAloneAndWakesOnTheFirstRequest)
{
    ASSERT_NO_FATAL_FAILURE(StartWithTone({{"TONVIK_DEBUG", "1"}}));
    UploadLayout(104, 0);
    Poll(600);
    ASSERT_TRUE(WaitForCaptureStream("running", 3000)) << "no capture stream while polled";

    const uint64_t lastPoll = m_lastPollUs;
    ASSERT_TRUE(WaitForCaptureStream("corked", 5000)) << m_daemon->Stderr();
    SleepMs(500);
    for (const auto& event : Events()) {
        EXPECT_FALSE(event.kind == "write" && event.us > lastPoll + 1100000u) << "a write while nobody polled";
    }

    const uint64_t asked = NowUs();
    const HttpReply reply = Get(Port(), kEffectTarget);
    EXPECT_EQ(reply.raw, ExpectedJsonReply(reply.body));
    EXPECT_EQ(ReportedKeys(reply.body).size(), ReportedKeys(Get(Port(), kEffectTarget).body).size());
    EXPECT_NE(reply.body.find(R"("amplitude":60,"backmode":0,"backmodebrightness":100,"keys":[)"), std::string::npos);
    EXPECT_NE(reply.body.find(R"(],"mode":2,"timestamp":)"), std::string::npos);
    Poll(400);
    const uint64_t latency = FirstKeyPacketAfter(asked);
    EXPECT_GT(latency, 0u) << "no frame after the wake-up";
    EXPECT_LT(latency, 500000u) << "the first frame came late";
    EXPECT_TRUE(WaitForCaptureStream("running", 2000));
    EXPECT_EQ(MissingInOrder(m_daemon->Stderr(), {"resting:", "waking:"}), "") << m_daemon->Stderr();
}

// A layout uploaded while resting still starts the lighting, so the next
// effect request lights the keyboard; and a resting daemon stops promptly.
TEST_F(KeyboardWithSoundE2E, ALayoutUploadedDuringRestLightsOnTheNextRequestAndStopIsPrompt)
{
    ASSERT_NO_FATAL_FAILURE(StartWithTone());
    ASSERT_TRUE(WaitForCaptureStream("corked", 5000)) << m_daemon->Stderr();
    UploadLayout(104, 0);
    const uint64_t asked = NowUs();
    Poll(600);
    EXPECT_GT(FirstKeyPacketAfter(asked), 0u) << "the layout uploaded during the rest lit nothing";

    ASSERT_TRUE(WaitForCaptureStream("corked", 5000));
    const uint64_t stopAt = NowUs();
    const int status = m_daemon->Stop(SIGTERM, 10000);
    EXPECT_LT(NowUs() - stopAt, 2000000u) << "stopping from rest took long";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(MissingInOrder(m_daemon->Stderr(), {"stopping on SIGTERM", "tonvik: stopped"}), "");
}

}  // namespace
