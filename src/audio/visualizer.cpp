#include "audio/visualizer.h"

void Visualizer::InitVisualizer()
{
    m_nGain = 270;
    m_nBackBrightness = 100;
    m_nBackStyle = 0;
    m_nBarStyle = 18;
}
