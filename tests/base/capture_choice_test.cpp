#include "base/capture_choice.h"

#include <gtest/gtest.h>

namespace {

using Kind = CaptureSource::Kind;

TEST(CaptureSourceIds, ParseToTheirSourceAndBackOrAreRefused)
{
    const struct {
        const char* id;
        bool valid;
        Kind kind;
        const char* name;
    } cases[] = {
        {"default", true, Kind::Default, ""},
        {"output:alsa_output.usb-Headset.analog-stereo", true, Kind::Output, "alsa_output.usb-Headset.analog-stereo"},
        {"app:Music", true, Kind::App, "Music"},
        // Names are taken byte for byte: blanks, colons and UTF-8 included.
        {"app: Music Player:2 ", true, Kind::App, " Music Player:2 "},
        {"output:{0.0.0.00000000}.{a1b2}", true, Kind::Output, "{0.0.0.00000000}.{a1b2}"},
        {"app:Spotify\xC3\xA9", true, Kind::App, "Spotify\xC3\xA9"},
        {"", false, Kind::Default, ""},
        {"defaults", false, Kind::Default, ""},
        {"Default", false, Kind::Default, ""},
        {"default:", false, Kind::Default, ""},
        {"output:", false, Kind::Default, ""},
        {"app:", false, Kind::Default, ""},
        {"App:Music", false, Kind::Default, ""},
        {"sink:tonvik_a", false, Kind::Default, ""},
        {"Music", false, Kind::Default, ""},
    };
    for (const auto& c : cases) {
        const std::optional<CaptureSource> source = ParseCaptureSource(c.id);
        ASSERT_EQ(source.has_value(), c.valid) << c.id;
        if (source) {
            EXPECT_EQ(source->kind, c.kind) << c.id;
            EXPECT_EQ(source->name, c.name) << c.id;
            EXPECT_EQ(source->Id(), c.id);
        }
    }
}

TEST(CaptureDelays, AutoOrWholeMillisecondsUpToTheCap)
{
    const struct {
        const char* text;
        bool valid;
        bool automatic;
        int ms;
    } cases[] = {
        {"auto", true, true, 0}, {"0", true, false, 0},       {"200", true, false, 200}, {"500", true, false, 500},
        {"007", true, false, 7}, {"501", false, false, 0},    {"1000", false, false, 0}, {"-1", false, false, 0},
        {"+5", false, false, 0}, {" 5", false, false, 0},     {"5ms", false, false, 0},  {"", false, false, 0},
        {"Auto", false, false, 0}, {"1e2", false, false, 0},  {"99999999999", false, false, 0},
    };
    for (const auto& c : cases) {
        const std::optional<CaptureDelay> delay = ParseCaptureDelay(c.text);
        ASSERT_EQ(delay.has_value(), c.valid) << c.text;
        if (delay) {
            EXPECT_EQ(delay->automatic, c.automatic) << c.text;
            EXPECT_EQ(delay->fixedMs, c.ms) << c.text;
            EXPECT_EQ(ParseCaptureDelay(delay->Text()), delay) << c.text;
        }
    }
}

}  // namespace
