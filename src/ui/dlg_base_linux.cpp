// The Linux daemon has no window: the window operations do nothing, and with
// no window there is no mouse, no skin and no painting. The control logic of
// dlg_base.cpp still holds whatever controls a derived object creates.
#include "ui/dlg_base.h"

struct CDlgBase::Skin {};

void CDlgBase::SkinDeleter::operator()(Skin* skin) const
{
    delete skin;
}

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

void CDlgBase::MinimizeWindow() {}

int CDlgBase::ToggleMaximize()
{
    return 0;
}

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

bool CDlgBase::TrackMouse()
{
    return false;
}

void CDlgBase::CaptureMouse() {}

void CDlgBase::ReleaseMouse() {}

bool CDlgBase::CursorInClient(int32_t&, int32_t&) const
{
    return false;
}

void CDlgBase::InvalidateClient(const ControlRect*, bool) {}

void CDlgBase::DrawSkin(Canvas&) {}
