#pragma once

#include <cstddef>
#include <vector>

// The sum of several streams' sound, gathered over one drain: each stream's
// packets are added in turn from the start of the sum, and the sum goes out
// as long as the longest stream's part. Streams of one sink run on its clock,
// so each brings about the same length to a drain; a packet that arrives a
// drain late lands a packet early, which the lights cannot show. Allocates
// only while the sum grows past anything it held before.
class StreamMix {
public:
    // Adds the floats after what this stream added since the last EndStream.
    void Add(const float* data, size_t floats);
    // The next Add belongs to the next stream, from the start of the sum.
    void EndStream() { m_position = 0; }
    // Hands out the whole frames of the sum, then starts an empty one.
    template <typename Emit>
    void Flush(size_t channels, Emit&& emit)
    {
        const size_t floats = m_sum.size() - m_sum.size() % channels;
        if (floats > 0) {
            emit(m_sum.data(), floats);
        }
        m_sum.clear();
        m_position = 0;
    }

private:
    std::vector<float> m_sum;
    size_t m_position = 0;
};
