#include "audio/sample_delay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "audio/stream_mix.h"

namespace {

// Keeps every float it is handed, and checks that each run is whole frames.
struct Collector : CapturePacketSink {
    std::vector<float> floats;
    uint32_t channels = 2;
    void OnPacket(const float* data, size_t count, uint32_t frames) override
    {
        EXPECT_EQ(count, static_cast<size_t>(frames) * channels);
        floats.insert(floats.end(), data, data + count);
    }
};

std::vector<float> Ramp(size_t floats, float from)
{
    std::vector<float> ramp(floats);
    for (size_t i = 0; i < floats; ++i) {
        ramp[i] = from + static_cast<float>(i);
    }
    return ramp;
}

// Packets of any size, smaller or larger than the delay, come out as many
// floats as went in, shifted by the delay, with silence before the first.
TEST(SampleDelay, ShiftsTheSoundByItsFramesWhateverThePacketSizes)
{
    for (const size_t packetFrames : {1u, 3u, 5u, 7u, 40u}) {
        SampleDelay delay;
        delay.Set(5, 2);
        Collector out;
        std::vector<float> sent;
        for (int packet = 0; packet < 9; ++packet) {
            const std::vector<float> data = Ramp(packetFrames * 2, 1.0f + static_cast<float>(sent.size()));
            delay.Pass(data.data(), data.size(), static_cast<uint32_t>(packetFrames), out);
            sent.insert(sent.end(), data.begin(), data.end());
        }
        ASSERT_EQ(out.floats.size(), sent.size()) << packetFrames;
        for (size_t i = 0; i < out.floats.size(); ++i) {
            EXPECT_EQ(out.floats[i], i < 10 ? 0.0f : sent[i - 10]) << "packets of " << packetFrames << ", float " << i;
        }
    }
}

TEST(SampleDelay, ClearOrANewDelayDropsWhatIsHeldAndNoDelayPassesStraightThrough)
{
    SampleDelay delay;
    Collector out;
    const std::vector<float> loud(8, 1.0f);
    delay.Set(4, 2);
    delay.Pass(loud.data(), loud.size(), 4, out);
    delay.Clear();
    delay.Pass(loud.data(), loud.size(), 4, out);
    EXPECT_EQ(out.floats, std::vector<float>(16, 0.0f));

    delay.Set(2, 2);
    out.floats.clear();
    delay.Pass(loud.data(), loud.size(), 4, out);
    EXPECT_EQ(out.floats, (std::vector<float>{0, 0, 0, 0, 1, 1, 1, 1}));

    delay.Set(0, 2);
    out.floats.clear();
    delay.Pass(loud.data(), loud.size(), 4, out);
    EXPECT_EQ(out.floats, loud);

    // A packet that is not whole frames of the delay's channels is not held.
    delay.Set(2, 2);
    out.floats.clear();
    out.channels = 1;
    delay.Pass(loud.data(), 3, 3, out);
    EXPECT_EQ(out.floats, std::vector<float>(3, 1.0f));
}

// Hears a packet with any float not zero.
struct AnyNonZero : SoundListener {
    bool Audible(const float* data, size_t floats, uint32_t) const override
    {
        return std::any_of(data, data + floats, [](float value) { return value != 0.0f; });
    }
    void OnSoundReturns() override {}
};

// Sound still held is sound to come: until it has left (or is cleared) the
// delay holds sound, whatever the ring's position.
TEST(SampleDelay, HoldsSoundUntilItHasLeftOrIsCleared)
{
    SampleDelay delay;
    const AnyNonZero listener;
    Collector out;
    EXPECT_FALSE(delay.HoldsSound(listener)) << "no delay set";
    delay.Set(4, 2);
    EXPECT_FALSE(delay.HoldsSound(listener));
    const std::vector<float> loud(6, 1.0f);
    const std::vector<float> quiet(6, 0.0f);
    delay.Pass(loud.data(), loud.size(), 3, out);
    EXPECT_TRUE(delay.HoldsSound(listener));
    delay.Pass(quiet.data(), quiet.size(), 3, out);
    EXPECT_TRUE(delay.HoldsSound(listener)) << "the last loud frames are still held";
    delay.Pass(quiet.data(), quiet.size(), 3, out);
    EXPECT_FALSE(delay.HoldsSound(listener)) << "every loud frame has left";
    delay.Pass(loud.data(), loud.size(), 3, out);
    delay.Clear();
    EXPECT_FALSE(delay.HoldsSound(listener));
}

TEST(StreamMix, SumsTheStreamsOfOneDrainAsLongAsTheLongest)
{
    StreamMix mix;
    const std::vector<float> a{1, 2, 3, 4};
    const std::vector<float> b{10, 20, 30, 40, 50, 60};
    mix.Add(a.data(), 2);
    mix.Add(a.data() + 2, 2);
    mix.EndStream();
    mix.Add(b.data(), b.size());
    mix.EndStream();
    std::vector<float> out;
    mix.Flush(2, [&](const float* data, size_t floats) { out.assign(data, data + floats); });
    EXPECT_EQ(out, (std::vector<float>{11, 22, 33, 44, 50, 60}));

    // Each drain starts from silence; a part frame is not handed out.
    out.clear();
    mix.Add(a.data(), 3);
    mix.Flush(2, [&](const float* data, size_t floats) { out.assign(data, data + floats); });
    EXPECT_EQ(out, (std::vector<float>{1, 2}));
}

}  // namespace
