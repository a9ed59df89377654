#include "ui/dlg_base.h"

CDlgBase::CDlgBase() = default;

CDlgBase::~CDlgBase()
{
    StopAllTimers();
}

// Without a window there are no controls to create and nothing to animate, so
// no base timer is started either.
bool CDlgBase::OnInitDialog()
{
    m_bInitialised = true;
    return true;
}

void CDlgBase::DestroyWindow() {}

// No modal loop runs here; the Linux shell ends on a stop signal.
void CDlgBase::CloseWindow() {}

bool CDlgBase::IsWindowVisible() const
{
    return false;
}

void CDlgBase::HideWindow() {}

void CDlgBase::InvalidateWindow() {}

void CDlgBase::HideForGood() {}

void CDlgBase::PlaceOffScreen() {}

void CDlgBase::SetWindowIcons() {}

void CDlgBase::SetWindowTitle(const wchar_t*) {}

void CDlgBase::OnTimerTick(uint32_t) {}

bool CDlgBase::OnSysCommand(uint32_t)
{
    return false;
}
