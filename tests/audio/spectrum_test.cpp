#include "audio/spectrum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>
#include <random>

namespace {

// F[k] = (1/512) sum x[n] e^(2 pi i k n / 512), in double precision.
std::complex<double> Dft(const float* x, int k)
{
    std::complex<double> sum;
    for (int n = 0; n < kTransformSize; ++n) {
        const double angle = 2.0 * std::numbers::pi * k * n / kTransformSize;
        sum += static_cast<double>(x[n]) * std::complex<double>(std::cos(angle), std::sin(angle));
    }
    return sum / static_cast<double>(kTransformSize);
}

// Largest difference from the double-precision DFT over all 512 outputs.
double TransformError(const float* input)
{
    float data[kTransformSize];
    std::copy(input, input + kTransformSize, data);
    RealTransform512(data);
    double worst = std::fabs(data[0] - Dft(input, 0).real());
    worst = std::max(worst, std::fabs(data[1] - Dft(input, 256).real()));
    for (int k = 1; k < 256; ++k) {
        const std::complex<double> expected = Dft(input, k);
        worst = std::max(worst, std::fabs(data[2 * k] - expected.real()));
        worst = std::max(worst, std::fabs(data[2 * k + 1] - expected.imag()));
    }
    return worst;
}

// Inputs as loud as the capture makes them (|x| up to 2400 at gain 1200):
// every output within 2e-4 of the exact DFT, about 1e-7 of full scale.
constexpr double kTolerance = 2e-4;

TEST(RealTransform, MatchesDoublePrecisionDftOnNoiseAndTones)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> level(-2400.0f, 2400.0f);
    float noise[kTransformSize];
    for (float& x : noise) {
        x = level(random);
    }
    EXPECT_LT(TransformError(noise), kTolerance);

    float tone[kTransformSize];
    for (int n = 0; n < kTransformSize; ++n) {
        tone[n] = static_cast<float>(2400.0 * std::sin(2.0 * std::numbers::pi * 37.25 * n / kTransformSize) + 300.0);
    }
    EXPECT_LT(TransformError(tone), kTolerance);

    float pairs[kTransformSize];  // as the sample window holds them: two equal floats per slot
    for (int s = 0; s < 256; ++s) {
        pairs[2 * s] = pairs[2 * s + 1] = level(random);
    }
    EXPECT_LT(TransformError(pairs), kTolerance);
}

TEST(RealTransform, PacksDcNyquistAndBins)
{
    float data[kTransformSize];
    for (int n = 0; n < kTransformSize; ++n) {
        data[n] = (n % 2 == 0 ? 3.0f : -1.0f) + static_cast<float>(2.0 * std::cos(2.0 * std::numbers::pi * 10 * n / 512));
    }
    RealTransform512(data);
    EXPECT_NEAR(data[0], 1.0, 1e-6);   // mean of +3 and -1
    EXPECT_NEAR(data[1], 2.0, 1e-6);   // the alternating part sits at F[256]
    EXPECT_NEAR(data[20], 1.0, 1e-6);  // a cosine of amplitude 2 at bin 10: half of it, real
    EXPECT_NEAR(data[21], 0.0, 1e-6);
    EXPECT_NEAR(data[22], 0.0, 1e-6);
}

TEST(WindowTables, PeriodicHannHammingBlackman)
{
    float windows[3][kSampleSlots];
    BuildWindowTables(windows);
    for (int i = 0; i < kSampleSlots; ++i) {
        const double a = 2.0 * std::numbers::pi * i / 256.0;
        EXPECT_NEAR(windows[0][i], (1.0 - std::cos(a)) * 0.5, 1e-6) << i;
        EXPECT_NEAR(windows[1][i], 0.54 - std::cos(a) * 0.46, 1e-6) << i;
        EXPECT_NEAR(windows[2][i], std::cos(2.0 * a) * 0.08 + 0.42 - std::cos(a) * 0.5, 1e-6) << i;
    }
    // Period 256, not 255: the peak is at 128 and entry 255 is not back at the start.
    EXPECT_FLOAT_EQ(windows[0][0], 0.0f);
    EXPECT_FLOAT_EQ(windows[0][128], 1.0f);
    EXPECT_GT(windows[0][255], 1e-4f);
    EXPECT_FLOAT_EQ(windows[1][0], 0.08f);
    EXPECT_NEAR(windows[2][0], 0.0f, 1e-7);
}

TEST(TiltTable, RisesLinearlyFromBase)
{
    float tilt[kSpectrumColumns];
    BuildTiltTable(tilt, 0.04f, 0.5f);
    EXPECT_FLOAT_EQ(tilt[0], 0.04f);
    EXPECT_FLOAT_EQ(tilt[128], 0.29f);
    EXPECT_FLOAT_EQ(tilt[255], 0.04f + 0.5f * 255.0f / 256.0f);
}

TEST(SmoothPeaks, BlockModeGivesFlatBlocksOfTheirMean)
{
    float peaks[kSpectrumColumns];
    for (int i = 0; i < kSpectrumColumns; ++i) {
        peaks[i] = static_cast<float>(i);
    }
    SmoothPeaks(peaks, 0, 8);
    for (int i = 0; i < kSpectrumColumns; ++i) {
        EXPECT_FLOAT_EQ(peaks[i], static_cast<float>(i / 8 * 8) + 3.5f) << i;
    }
}

TEST(SmoothPeaks, MovingAverageRunsInPlaceLeftToRight)
{
    float peaks[kSpectrumColumns] = {};
    peaks[10] = 3.0f;
    SmoothPeaks(peaks, 1, 1);
    EXPECT_FLOAT_EQ(peaks[8], 0.0f);
    EXPECT_FLOAT_EQ(peaks[9], 1.0f);
    EXPECT_FLOAT_EQ(peaks[10], 4.0f / 3.0f);  // uses the already smoothed left neighbour
    EXPECT_FLOAT_EQ(peaks[11], 4.0f / 9.0f);
    EXPECT_FLOAT_EQ(peaks[12], 4.0f / 27.0f);
}

TEST(SmoothPeaks, MovingAverageEdgesUseTheGrowingMeans)
{
    float peaks[kSpectrumColumns];
    for (int i = 0; i < kSpectrumColumns; ++i) {
        peaks[i] = static_cast<float>(i);
    }
    SmoothPeaks(peaks, 1, 2);
    EXPECT_FLOAT_EQ(peaks[0], 1.0f);      // mean of 0, 1, 2
    EXPECT_FLOAT_EQ(peaks[1], 1.75f);     // mean of the new 1 and 1, 2, 3
    EXPECT_FLOAT_EQ(peaks[255], 254.0f);  // mean of 253, 254, 255
    EXPECT_FLOAT_EQ(peaks[254], 253.25f); // mean of 252, 253, 254 and the new 254
}

TEST(SmoothPeaks, OtherModesAndUnusableWidthsLeaveValues)
{
    float peaks[kSpectrumColumns];
    for (int i = 0; i < kSpectrumColumns; ++i) {
        peaks[i] = static_cast<float>(i % 7);
    }
    float before[kSpectrumColumns];
    std::copy(std::begin(peaks), std::end(peaks), before);
    SmoothPeaks(peaks, 2, 8);
    SmoothPeaks(peaks, 0, 0);
    SmoothPeaks(peaks, 1, 200);
    SmoothPeaks(peaks, 0, -5);
    EXPECT_TRUE(std::equal(std::begin(peaks), std::end(peaks), before));
}

}  // namespace
