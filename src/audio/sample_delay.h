#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/capture_backend.h"

// Holds captured sound back by a set number of frames before it reaches the
// analysis: a ring of that many frames, full of silence at first, in which
// each new frame takes the place of the one that leaves. Runs on the thread
// that drains the capture; allocates only when the delay or the channel count
// changes.
class SampleDelay {
public:
    // The delay in frames of `channels` floats; what is held is dropped (read
    // as silence) when either changes.
    void Set(uint32_t frames, uint32_t channels);
    uint32_t Frames() const { return m_frames; }
    // Drops what is held: the sound before a pause or a new stream is old news.
    void Clear();
    // Hands the sink as many frames as the packet has, `Frames()` late. A
    // packet whose channel count is not the delay's passes undelayed.
    void Pass(const float* data, size_t floats, uint32_t frames, CapturePacketSink& sink);
    // Whether the listener would hear what is held and has yet to leave.
    bool HoldsSound(const SoundListener& listener) const;

private:
    std::vector<float> m_ring;
    size_t m_next = 0;  // the oldest held float, the next to leave
    uint32_t m_frames = 0;
    uint32_t m_channels = 0;
};
