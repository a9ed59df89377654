#include "ui/control.h"

#include "ui/rect.h"

CControl::CControl(uint32_t id, const ControlRect& rect, CMessageInterface* owner)
    : m_nId(id), m_rect(rect), m_pOwner(owner)
{
}

CControl::~CControl() = default;

void CControl::Draw(Canvas&, const ControlRect&) {}

void CControl::LoseFocus() {}

void CControl::SetRect(const ControlRect& rect)
{
    m_rect = rect;
}

ControlRect CControl::GetRect() const
{
    return m_rect;
}

void CControl::Show(bool show)
{
    m_bVisible = show;
}

void CControl::SetState(int32_t state)
{
    m_nState = state;
}

bool CControl::HitTest(int32_t x, int32_t y) const
{
    return RectContains(m_rect, x, y);
}

void CControl::MouseMove(int32_t x, int32_t y)
{
    if (!m_bVisible || !m_bEnabled) {
        return;
    }
    if (m_pMouseChild != nullptr && (m_pMouseChild->HitTest(x, y) || m_bHot)) {
        m_pMouseChild->MouseMove(x, y);
        return;
    }
    m_pMouseChild = nullptr;
    OnMouseMove(x, y);
    if (m_bHot) {
        return;
    }
    for (const auto& child : m_children) {
        child->MouseMove(x, y);
        if (child->HitTest(x, y)) {
            m_pMouseChild = child.get();
        }
    }
}

void CControl::LButtonDown(int32_t x, int32_t y)
{
    if (!m_bEnabled) {
        return;
    }
    if (HitTest(x, y)) {
        m_bHot = true;
    }
    if (m_pMouseChild != nullptr) {
        m_pMouseChild->LButtonDown(x, y);
    } else {
        OnLButtonDown(x, y);
    }
}

void CControl::LButtonUp(int32_t x, int32_t y)
{
    if (!m_bEnabled) {
        return;
    }
    m_bHot = false;
    if (m_pMouseChild != nullptr) {
        m_pMouseChild->LButtonUp(x, y);
    } else {
        OnLButtonUp(x, y);
    }
}

void CControl::TimerTick(uint32_t timerId)
{
    OnTimerTick(timerId);
    for (const auto& child : m_children) {
        child->TimerTick(timerId);
    }
}

void CControl::AddChild(std::unique_ptr<CControl> child)
{
    m_children.push_back(std::move(child));
}

void CControl::ClearMarks()
{
    m_nMark = 0;
    for (const auto& child : m_children) {
        child->ClearMarks();
    }
}

void CControl::OnMouseMove(int32_t, int32_t) {}

void CControl::OnLButtonDown(int32_t, int32_t) {}

void CControl::OnLButtonUp(int32_t, int32_t) {}

void CControl::OnTimerTick(uint32_t) {}
