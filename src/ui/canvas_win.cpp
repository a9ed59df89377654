#include "ui/canvas_win.h"

void GdiCanvas::Fill(const ControlRect& rect, uint32_t colour)
{
    const RECT area{rect.left, rect.top, rect.right, rect.bottom};
    SetDCBrushColor(m_dc, colour);
    FillRect(m_dc, &area, static_cast<HBRUSH>(GetStockObject(DC_BRUSH)));
}
