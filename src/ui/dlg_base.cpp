// The portable part of the window base: the control lists, their drawing,
// notifications and the mouse logic. The platform primitives it calls are in
// dlg_base_win.cpp (and do nothing in dlg_base_linux.cpp).
#include "ui/dlg_base.h"

#include "ui/rect.h"

namespace {

using ControlList = std::vector<std::unique_ptr<CControl>>;

CControl* FindIn(const ControlList& list, uint32_t id)
{
    for (const auto& control : list) {
        if (control->m_nId == id) {
            return control.get();
        }
    }
    return nullptr;
}

CControl* LastEnabledAt(const ControlList& list, int32_t x, int32_t y)
{
    CControl* found = nullptr;
    for (const auto& control : list) {
        if (control->m_bEnabled && control->HitTest(x, y)) {
            found = control.get();
        }
    }
    return found;
}

void DrawTree(CControl& control, Canvas& canvas, const ControlRect& update)
{
    if (!control.m_bVisible || !RectsMeet(control.GetRect(), update)) {
        return;
    }
    control.Draw(canvas, update);
    for (const auto& child : control.m_children) {
        DrawTree(*child, canvas, update);
    }
}

// Visits every control in drawing order, each before its children; drawn
// tells whether it and all its ancestors are visible.
template <typename Visit>
void VisitTree(CControl& control, bool drawn, Visit& visit)
{
    drawn = drawn && control.m_bVisible;
    visit(control, drawn);
    for (const auto& child : control.m_children) {
        VisitTree(*child, drawn, visit);
    }
}

}  // namespace

void CDlgBase::DrawControls(Canvas& canvas, const ControlRect& update)
{
    for (const ControlList* list : {&m_staticControls, &m_sysControls, &m_controls, &m_sysButtons}) {
        for (const auto& control : *list) {
            DrawTree(*control, canvas, update);
        }
    }
}

void CDlgBase::ResetControls()
{
    for (const ControlList* list : {&m_controls, &m_staticControls, &m_sysButtons, &m_sysControls}) {
        for (const auto& control : *list) {
            control->ClearMarks();
        }
    }
    InvalidateClient(nullptr, true);
}

CControl* CDlgBase::FindControl(uint32_t id) const
{
    CControl* control = FindIn(m_controls, id);
    return control != nullptr ? control : FindIn(m_staticControls, id);
}

CControl* CDlgBase::FindSysControl(uint32_t id) const
{
    CControl* control = FindIn(m_sysButtons, id);
    return control != nullptr ? control : FindIn(m_sysControls, id);
}

CControl* CDlgBase::MoveControl(CControl* control, const ControlRect& rect)
{
    if (control == nullptr) {
        return nullptr;
    }
    const ControlRect old = control->GetRect();
    control->SetRect(rect);
    if (control->m_bVisible && control->m_pOwner != nullptr) {
        control->m_pOwner->OnRedrawRegion(RectUnion(old, rect), true, control);
    }
    RefreshHover();
    return control;
}

CControl* CDlgBase::MoveControlById(uint32_t id, const ControlRect& rect)
{
    return MoveControl(FindControl(id), rect);
}

CControl* CDlgBase::ShowControl(CControl* control, bool show)
{
    if (control == nullptr) {
        return nullptr;
    }
    control->Show(show);
    if (control->m_pOwner != nullptr) {
        control->m_pOwner->OnRedrawRegion(control->GetRect(), true, control);
    }
    RefreshHover();
    return control;
}

CControl* CDlgBase::ShowControlById(uint32_t id, bool show)
{
    return ShowControl(FindControl(id), show);
}

CControl* CDlgBase::SetControlState(CControl* control, int32_t state)
{
    if (control == nullptr) {
        return nullptr;
    }
    if (control->m_nState != state) {
        control->SetState(state);
        if (control->m_bVisible && control->m_pOwner != nullptr) {
            control->m_pOwner->OnRedrawRegion(control->GetRect(), false, control);
        }
    }
    RefreshHover();
    return control;
}

CControl* CDlgBase::SetControlStateById(uint32_t id, int32_t state)
{
    return SetControlState(FindControl(id), state);
}

void CDlgBase::LayoutSysButtons(const ControlRect& client)
{
    constexpr int32_t kCloseWidth = 45;
    constexpr int32_t kMinimizeWidth = 31;
    constexpr int32_t kButtonHeight = 29;
    const int32_t right = client.right;
    for (const auto& button : m_sysButtons) {
        switch (button->m_nId) {
        case kCloseId:
            button->SetRect({right - kCloseWidth, 0, right, kButtonHeight});
            break;
        case kMinimizeId:
            button->SetRect({right - kCloseWidth - kMinimizeWidth, 0, right - kCloseWidth, kButtonHeight});
            break;
        case kFrameId:
            button->SetRect(client);
            break;
        default:
            break;
        }
    }
}

bool CDlgBase::OnSysCommand(uint32_t)
{
    return false;
}

void CDlgBase::OnPaint(Canvas& canvas, const ControlRect& client, const ControlRect& update)
{
    canvas.Fill(client, m_nBackgroundColour);
    DrawSkin(canvas);
    DrawControls(canvas, update);
}

int CDlgBase::OnNotify(uint32_t controlId, uint32_t code, uint32_t param1, uint32_t param2)
{
    if (controlId == kMinimizeId || controlId == kCloseId) {
        if (code == kClickedCode && controlId == kMinimizeId) {
            MinimizeWindow();
        } else if (code == kClickedCode) {
            CloseWindow();
        }
        return 0;
    }
    return OnControlNotify(controlId, code, param1, param2);
}

int CDlgBase::OnRedrawRegion(const ControlRect& rect, bool erase, void* control)
{
    auto* asking = static_cast<CControl*>(control);
    if (erase && asking != nullptr) {
        asking->ClearMarks();
    }
    ControlRect area = rect;
    if (m_bInitialised) {
        // Whatever is drawn after the asking control lies on top of it there.
        bool after = asking == nullptr;
        auto visit = [&](CControl& each, bool drawn) {
            if (after && drawn && RectsMeet(each.GetRect(), rect)) {
                each.m_nMark = 0;
                area = RectUnion(area, each.GetRect());
            }
            if (&each == asking) {
                after = true;
            }
        };
        for (const ControlList* list : {&m_staticControls, &m_sysControls, &m_controls, &m_sysButtons}) {
            for (const auto& each : *list) {
                VisitTree(*each, true, visit);
            }
        }
    }
    InvalidateClient(&area, true);
    return 0;
}

void CDlgBase::OnTimerTick(uint32_t timerId)
{
    if (timerId == 0 || timerId != m_nBaseTimerId) {
        return;
    }
    for (const ControlList* list : {&m_sysButtons, &m_controls}) {
        for (const auto& control : *list) {
            control->TimerTick(timerId);
        }
    }
}

void CDlgBase::RefreshHover()
{
    int32_t x = 0;
    int32_t y = 0;
    if (CursorInClient(x, y)) {
        HandleMouseMove(x, y);
    }
}

void CDlgBase::HandleMouseMove(int32_t x, int32_t y)
{
    if (!m_bTracking) {
        m_bTracking = TrackMouse();
    }
    if (m_pHotControl != nullptr && (m_pHotControl->HitTest(x, y) || m_bButtonDown)) {
        if (m_bTracking) {
            m_pHotControl->MouseMove(x, y);
            return;
        }
        if (m_bButtonDown) {
            return;
        }
    } else if (m_pHotControl == nullptr && m_bButtonDown) {
        return;
    }
    m_pHotControl = nullptr;
    if (!m_bTracking) {
        return;
    }
    for (const ControlList* list : {&m_sysButtons, &m_controls}) {
        for (const auto& control : *list) {
            control->MouseMove(x, y);
        }
    }
    m_pHotControl = LastEnabledAt(m_sysButtons, x, y);
    if (m_pHotControl == nullptr) {
        m_pHotControl = LastEnabledAt(m_controls, x, y);
    }
}

CDlgBase::Press CDlgBase::HandleLButtonDown(int32_t x, int32_t y)
{
    if (m_pPressedControl != m_pHotControl) {
        if (m_pPressedControl != nullptr) {
            m_pPressedControl->LoseFocus();
        }
        m_pPressedControl = nullptr;
    }
    if (m_pHotControl != nullptr && m_pHotControl->m_bVisible && m_pHotControl->HitTest(x, y)) {
        m_bButtonDown = true;
        m_pPressedControl = m_pHotControl;
        m_pHotControl->LButtonDown(x, y);
        CaptureMouse();
        m_bCaptured = true;
        return Press::Taken;
    }
    return Press::MoveWindow;
}

void CDlgBase::HandleLButtonUp(int32_t x, int32_t y)
{
    if (m_bCaptured) {
        m_bCaptured = false;
        ReleaseMouse();
    }
    m_bButtonDown = false;
    if (m_pHotControl != nullptr) {
        if (m_pHotControl->m_bVisible) {
            const ControlRect rect = m_pHotControl->GetRect();
            m_pHotControl->LButtonUp(x, y);
            if (!RectContains(rect, x, y)) {
                m_pHotControl = nullptr;
            }
        } else {
            m_pHotControl = nullptr;
        }
    }
    m_bDoubleClick = false;
}

CDlgBase::Press CDlgBase::HandleDoubleClick(int32_t x, int32_t y)
{
    m_bDoubleClick = true;
    if (m_pHotControl == nullptr || m_pHotControl->m_bIgnoreDoubleClick) {
        return Press::Default;
    }
    return HandleLButtonDown(x, y);
}

void CDlgBase::HandleMouseLeave()
{
    m_bTracking = false;
    // A control held down keeps the mouse until the release comes.
    if (m_bButtonDown) {
        return;
    }
    if (m_pHotControl != nullptr) {
        m_pHotControl->MouseMove(-1, -1);
    }
    m_pHotControl = nullptr;
}

void CDlgBase::HandleActivation(bool active)
{
    m_bActive = active;
    if (!active) {
        m_bTracking = false;
        m_bDoubleClick = false;
        // A window that loses activation in the middle of a press must not keep
        // every mouse event of the desktop.
        if (m_bCaptured) {
            m_bCaptured = false;
            ReleaseMouse();
        }
        if (m_pHotControl != nullptr) {
            if (m_bButtonDown) {
                m_bButtonDown = false;
                m_pHotControl->LButtonUp(-1, -1);
            } else {
                m_pHotControl->MouseMove(-1, -1);
            }
        }
        m_pHotControl = nullptr;
    }
    InvalidateClient(nullptr, true);
}
