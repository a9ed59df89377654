// The sampler thread against a scripted sampler: when it samples, what size
// it asks for, what a pass without a screen does to the grid, and its stop.
#include "screen/screen_light.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {

using namespace std::chrono_literals;

// What the scripted sampler was asked and answers; shared with the test thread.
struct Script {
    std::atomic<int> opened{0};
    std::atomic<int> passes{0};
    std::atomic<int> columns{-1};
    std::atomic<int> rows{-1};
    std::atomic<ScreenSampler::Result> result{ScreenSampler::Result::Sampled};
    std::atomic<uint32_t> color{0xFF0000FFu};
    std::atomic<bool> destroyedOnSamplerThread{false};
    std::atomic<bool> destroyed{false};
};

class ScriptedSampler final : public ScreenSampler {
public:
    explicit ScriptedSampler(Script& script) : m_script(script)
    {
        ++m_script.opened;
        m_script.destroyed = false;
    }
    ~ScriptedSampler() override
    {
        m_script.destroyedOnSamplerThread = std::this_thread::get_id() == m_thread;
        m_script.destroyed = true;
    }

    Result Sample(ScreenGrid& grid, int columns, int rows) override
    {
        m_thread = std::this_thread::get_id();
        m_script.columns = columns;
        m_script.rows = rows;
        const Result result = m_script.result;
        if (result == Result::Sampled) {
            const uint32_t color = m_script.color;
            StoreCellsOf(grid, columns, rows, color);
        }
        ++m_script.passes;
        return result;
    }

private:
    static void StoreCellsOf(ScreenGrid& grid, int columns, int rows, uint32_t argb)
    {
        for (int c = 0; c < columns; ++c) {
            for (int r = 0; r < rows; ++r) {
                grid.Set(c, r, argb);
            }
        }
    }

    Script& m_script;
    std::thread::id m_thread;
};

// Waits (at most 5 s) until the sampler has made `more` further passes.
bool WaitForPasses(const Script& script, int more)
{
    const int target = script.passes + more;
    for (int i = 0; i < 500 && script.passes < target; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return script.passes >= target;
}

class ScreenLightTest : public ::testing::Test {
protected:
    Script script;
    std::unique_ptr<ScreenLight> light =
        std::make_unique<ScreenLight>([this] { return std::make_unique<ScriptedSampler>(script); });
};

TEST_F(ScreenLightTest, SamplesTheLayoutSizeWithinTheGridOnlyWhileEnabled)
{
    light->m_nColumns = 500;
    light->m_nRows = -3;
    light->SetEnabled(true);
    ASSERT_TRUE(WaitForPasses(script, 1));
    EXPECT_EQ(script.columns, ScreenGrid::kColumns);
    EXPECT_EQ(script.rows, 0);

    light->m_nColumns = 22;
    light->m_nRows = 6;
    ASSERT_TRUE(WaitForPasses(script, 2));
    EXPECT_EQ(script.columns, 22);
    EXPECT_EQ(script.rows, 6);
    EXPECT_EQ(light->ColorAt(21, 5), 0xFF0000FFu);

    // Disabled: no more passes, and the grid keeps its colours.
    light->SetEnabled(false);
    std::this_thread::sleep_for(100ms);
    const int passes = script.passes;
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(script.passes, passes);
    EXPECT_EQ(light->ColorAt(21, 5), 0xFF0000FFu);
    // ... and the sampler is released; enabling again opens a new one.
    EXPECT_TRUE(script.destroyed);
    EXPECT_TRUE(script.destroyedOnSamplerThread);
    light->SetEnabled(true);
    ASSERT_TRUE(WaitForPasses(script, 1));
    EXPECT_EQ(script.opened, 2);
}

TEST_F(ScreenLightTest, AFailedPassKeepsTheGridAndNoScreenMakesItBlack)
{
    light->SetEnabled(true);
    ASSERT_TRUE(WaitForPasses(script, 1));
    script.result = ScreenSampler::Result::Failed;
    script.color = 0xFF00FF00u;
    ASSERT_TRUE(WaitForPasses(script, 2));
    EXPECT_EQ(light->ColorAt(0, 0), 0xFF0000FFu);

    script.result = ScreenSampler::Result::NoScreen;
    ASSERT_TRUE(WaitForPasses(script, 2));
    for (int c = 0; c < ScreenGrid::kColumns; ++c) {
        for (int r = 0; r < ScreenGrid::kRows; ++r) {
            ASSERT_EQ(light->ColorAt(c, r), 0u) << c << "," << r;
        }
    }
}

TEST_F(ScreenLightTest, StopJoinsTheThreadWhichReleasesTheSampler)
{
    light->SetEnabled(true);
    ASSERT_TRUE(WaitForPasses(script, 1));
    light->Stop();
    EXPECT_TRUE(script.destroyed);
    EXPECT_TRUE(script.destroyedOnSamplerThread);
    const int passes = script.passes;
    light->Stop();
    light.reset();
    EXPECT_EQ(script.passes, passes);

    // Without a sampler at all: black, and a clean stop.
    ScreenLight none{nullptr};
    none.m_colors.Set(0, 0, 0x123456u);
    none.SetEnabled(true);
    for (int i = 0; i < 500 && none.ColorAt(0, 0) != 0u; ++i) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(none.ColorAt(0, 0), 0u);
}

}  // namespace
