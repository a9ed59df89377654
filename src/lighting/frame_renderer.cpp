#include "lighting/frame_renderer.h"

#include <algorithm>

#include "audio/visualizer.h"

namespace {

int SamplePoint(int32_t value, int limit)
{
    return std::clamp<int32_t>(value, 0, limit - 1);
}

}  // namespace

void ColourSpectrumFrame(KeyGrid& grid, const Visualizer& visualizer, ColumnLevels& levels)
{
    const SharedVisualizerImage& front = visualizer.FrontFrame();
    const int rows = grid.ActiveRows();
    const int cols = grid.ActiveCols();
    for (int r = 0; r < rows; ++r) {
        const int pictureRow = SamplePoint(grid.m_rowSample[r], kPictureHeight);
        for (int c = 0; c < cols; ++c) {
            const int pictureColumn = SamplePoint(grid.m_colSample[c], kPictureWidth);
            grid.Cell(r, c).color = front.At(pictureRow, pictureColumn);
            if (visualizer.m_barMask.At(pictureRow, pictureColumn) >= 2) {
                const int height = rows - r;
                if (levels.level[c] < height) {
                    levels.level[c] = static_cast<uint8_t>(height);
                }
            }
        }
    }
}
