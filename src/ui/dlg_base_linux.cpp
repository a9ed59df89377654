#include "ui/dlg_base.h"

bool CDlgBase::IsWindowVisible() const
{
    return false;
}

void CDlgBase::HideWindow() {}

void CDlgBase::InvalidateWindow() {}
