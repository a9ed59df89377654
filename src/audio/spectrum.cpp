#include "audio/spectrum.h"

#include <cmath>
#include <utility>

namespace {

constexpr double kPi = 3.141592653589793;

// 256-point complex radix-2 transform (positive exponent) of 512 interleaved
// floats; the twiddles come from the trigonometric recurrence in double.
void ComplexTransform256(float* data)
{
    constexpr int n = kTransformSize;
    int j = 0;
    for (int i = 0; i < n; i += 2) {
        if (j > i) {
            std::swap(data[j], data[i]);
            std::swap(data[j + 1], data[i + 1]);
        }
        int m = n >> 1;
        while (m >= 2 && j >= m) {
            j -= m;
            m >>= 1;
        }
        j += m;
    }

    for (int mmax = 2; mmax < n; mmax <<= 1) {
        const int istep = mmax << 1;
        const double theta = 2.0 * kPi / mmax;
        double wtemp = std::sin(0.5 * theta);
        const double wpr = -2.0 * wtemp * wtemp;
        const double wpi = std::sin(theta);
        double wr = 1.0;
        double wi = 0.0;
        for (int m = 0; m < mmax; m += 2) {
            for (int i = m; i < n; i += istep) {
                const int k = i + mmax;
                const auto tempr = static_cast<float>(wr * data[k] - wi * data[k + 1]);
                const auto tempi = static_cast<float>(wr * data[k + 1] + wi * data[k]);
                data[k] = data[i] - tempr;
                data[k + 1] = data[i + 1] - tempi;
                data[i] += tempr;
                data[i + 1] += tempi;
            }
            wtemp = wr;
            wr = wr * wpr - wi * wpi + wr;
            wi = wi * wpr + wtemp * wpi + wi;
        }
    }
}

}  // namespace

void RealTransform512(float* data)
{
    constexpr int n = kTransformSize;
    ComplexTransform256(data);
    for (int i = 0; i < n; ++i) {
        data[i] *= 0.001953125f;
    }

    // Split the half-length complex spectrum into that of the real sequence.
    constexpr float c1 = 0.5f;
    constexpr float c2 = -0.5f;
    const double theta = kPi / (n >> 1);
    double wtemp = std::sin(0.5 * theta);
    const double wpr = -2.0 * wtemp * wtemp;
    const double wpi = std::sin(theta);
    double wr = 1.0 + wpr;
    double wi = wpi;
    for (int k = 1; k < (n >> 2); ++k) {
        const int i1 = k + k;
        const int i2 = i1 + 1;
        const int i3 = n - i1;
        const int i4 = i3 + 1;
        const float h1r = c1 * (data[i1] + data[i3]);
        const float h1i = c1 * (data[i2] - data[i4]);
        const float h2r = -c2 * (data[i2] + data[i4]);
        const float h2i = c2 * (data[i1] - data[i3]);
        data[i1] = static_cast<float>(h1r + wr * h2r - wi * h2i);
        data[i2] = static_cast<float>(h1i + wr * h2i + wi * h2r);
        data[i3] = static_cast<float>(h1r - wr * h2r + wi * h2i);
        data[i4] = static_cast<float>(-h1i + wr * h2i + wi * h2r);
        wtemp = wr;
        wr = wr * wpr - wi * wpi + wr;
        wi = wi * wpr + wtemp * wpi + wi;
    }
    const float h1r = data[0];
    data[0] = h1r + data[1];
    data[1] = h1r - data[1];
}

void BuildWindowTables(float (&windows)[3][kSampleSlots])
{
    const double pi = 4.0 * std::atan(1.0);
    const double step = 2.0 * pi / kSampleSlots;
    double angle = 0.0;
    for (int i = 0; i < kSampleSlots; ++i) {
        windows[0][i] = static_cast<float>((1.0 - std::cos(angle)) * 0.5);
        windows[1][i] = static_cast<float>(0.54 - std::cos(angle) * 0.46);
        windows[2][i] = static_cast<float>(std::cos(2.0 * angle) * 0.08 + (0.42 - std::cos(angle) * 0.5));
        angle += step;
    }
}

void BuildTiltTable(float (&tilt)[kSpectrumColumns], float base, float slope)
{
    for (int i = 0; i < kSpectrumColumns; ++i) {
        tilt[i] = static_cast<float>(i) * 0.00390625f * slope + base;
    }
}

namespace {

float Mean(const float* values, int count)
{
    float sum = 0.0f;
    for (int i = 0; i < count; ++i) {
        sum += values[i];
    }
    return sum / static_cast<float>(count);
}

void SmoothBlocks(float (&peaks)[kSpectrumColumns], int w)
{
    const float left = Mean(peaks, w);
    const float right = Mean(peaks + kSpectrumColumns - w, w);
    for (int i = 0; i < w; ++i) {
        peaks[i] = left;
        peaks[kSpectrumColumns - 1 - i] = right;
    }
    for (int s = 0; s < kSpectrumColumns - w; s += w) {
        const float mean = Mean(peaks + s, w);
        for (int i = s; i < s + w; ++i) {
            peaks[i] = mean;
        }
    }
}

void SmoothMoving(float (&peaks)[kSpectrumColumns], int w)
{
    for (int j = 0; j < w; ++j) {
        const int n = j + w + 1;
        const float left = Mean(peaks, n);
        const float right = Mean(peaks + kSpectrumColumns - n, n);
        peaks[j] = left;
        peaks[kSpectrumColumns - 1 - j] = right;
    }
    const auto divisor = static_cast<float>(2 * w + 1);
    for (int j = w; j <= kSpectrumColumns - 1 - w; ++j) {
        float sum = peaks[j];
        for (int d = 1; d <= w; ++d) {
            sum += peaks[j - d] + peaks[j + d];
        }
        peaks[j] = sum / divisor;
    }
}

}  // namespace

void SmoothPeaks(float (&peaks)[kSpectrumColumns], int32_t mode, int32_t width)
{
    // Wider windows would reach past the ends of the table.
    if (width < 1 || width >= kSpectrumColumns / 2) {
        return;
    }
    if (mode == 0) {
        SmoothBlocks(peaks, width);
    } else if (mode == 1) {
        SmoothMoving(peaks, width);
    }
}
