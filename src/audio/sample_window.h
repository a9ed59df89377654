#pragma once

#include <cstdint>

#include "audio/spectrum.h"

// The 256 most recent samples, slot 255 the newest and slot 0 the oldest, all
// zero at first. Seen from outside it is the 512-float window of two equal
// floats per slot; inside it is a ring, so a push costs one store instead of
// moving 255 slots.
class SampleWindow {
public:
    void Push(float value)
    {
        m_ring[m_oldest] = value;
        m_oldest = (m_oldest + 1) & (kSampleSlots - 1);
    }

    void Clear()
    {
        for (float& value : m_ring) {
            value = 0.0f;
        }
    }

    float Slot(int slot) const { return m_ring[(m_oldest + slot) & (kSampleSlots - 1)]; }

    // The 512 floats in window order: floats 2s and 2s + 1 hold slot s.
    void CopyTo(float* out) const
    {
        for (int slot = 0; slot < kSampleSlots; ++slot) {
            const float value = Slot(slot);
            out[2 * slot] = value;
            out[2 * slot + 1] = value;
        }
    }

private:
    float m_ring[kSampleSlots] = {};
    uint32_t m_oldest = 0;
};
