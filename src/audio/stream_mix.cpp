#include "audio/stream_mix.h"

void StreamMix::Add(const float* data, size_t floats)
{
    for (size_t i = 0; i < floats; ++i, ++m_position) {
        if (m_position < m_sum.size()) {
            m_sum[m_position] += data[i];
        } else {
            m_sum.push_back(data[i]);
        }
    }
}
