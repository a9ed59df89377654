#include "audio/sample_delay.h"

#include <algorithm>
#include <cstring>

void SampleDelay::Set(uint32_t frames, uint32_t channels)
{
    if (frames == m_frames && channels == m_channels) {
        return;
    }
    m_frames = frames;
    m_channels = channels;
    m_ring.assign(static_cast<size_t>(frames) * channels, 0.0f);
    m_next = 0;
}

void SampleDelay::Clear()
{
    std::fill(m_ring.begin(), m_ring.end(), 0.0f);
    m_next = 0;
}

// The held floats leave straight from the ring, in runs up to its end, and
// the packet's take their place: no copy beyond the ring itself. The ring's
// size is whole frames and a packet brings whole frames, so every run does.
void SampleDelay::Pass(const float* data, size_t floats, uint32_t frames, CapturePacketSink& sink)
{
    if (m_ring.empty() || frames == 0 || floats != static_cast<size_t>(frames) * m_channels) {
        sink.OnPacket(data, floats, frames);
        return;
    }
    while (floats > 0) {
        const size_t run = std::min(floats, m_ring.size() - m_next);
        sink.OnPacket(m_ring.data() + m_next, run, static_cast<uint32_t>(run / m_channels));
        std::memcpy(m_ring.data() + m_next, data, run * sizeof(float));
        data += run;
        floats -= run;
        m_next = (m_next + run) % m_ring.size();
    }
}

// The held frames in ring order, not in time order: whether any is audible
// does not depend on which comes first.
bool SampleDelay::HoldsSound(const SoundListener& listener) const
{
    return !m_ring.empty() && listener.Audible(m_ring.data(), m_ring.size(), m_frames);
}
