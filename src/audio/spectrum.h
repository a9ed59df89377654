#pragma once

#include <cstdint>

// The numeric pieces of the spectrum analysis, free of any state so they can
// be checked on their own.

constexpr int kSampleSlots = 256;
constexpr int kTransformSize = 512;
constexpr int kSpectrumColumns = 256;

// In-place transform of 512 real values: the 256-point complex radix-2
// transform of the pairs (x[2n], x[2n+1]), scaled by 1/512, then split into
// the spectrum of the 512 real points. Result: X[0] = F[0], X[1] = F[256],
// X[2k], X[2k+1] = real and imaginary part of F[k] for k = 1..255, where
// F[k] = (1/512) * sum x[n] * e^(2 pi i k n / 512).
void RealTransform512(float* data);

// Hann, Hamming and Blackman, periodic with period 256 (window types 1, 2, 3).
void BuildWindowTables(float (&windows)[3][kSampleSlots]);

// tilt[i] = i / 256 * slope + base, in single precision.
void BuildTiltTable(float (&tilt)[kSpectrumColumns], float base, float slope);

// Smoothing across the 256 peak values: mode 0 averages blocks of width
// values, mode 1 is an in-place moving average, any other mode leaves them.
// Widths outside 1..127 leave the values as they are.
void SmoothPeaks(float (&peaks)[kSpectrumColumns], int32_t mode, int32_t width);
