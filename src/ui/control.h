#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/message_interface.h"
#include "ui/canvas.h"

// A custom-drawn control of the dialog base: a rectangle in client
// coordinates with children, drawn by the window and fed its mouse and timer
// events. A concrete control supplies its look (Draw) and its own handlers
// (OnMouseMove, OnLButtonDown, OnLButtonUp, OnTimerTick); the routing to
// children is the same for all. Controls report to their owner through
// CMessageInterface. Everything runs on the window's thread except the timer
// tick, which comes on the timer thread.
class CControl {
public:
    CControl(uint32_t id, const ControlRect& rect, CMessageInterface* owner);
    CControl(const CControl&) = delete;
    CControl& operator=(const CControl&) = delete;
    virtual ~CControl();

    // Draws the control itself over the part of it that meets rect; the window
    // draws the visible children afterwards.
    virtual void Draw(Canvas& canvas, const ControlRect& rect);
    // Another control was pressed after this one.
    virtual void LoseFocus();
    virtual void SetRect(const ControlRect& rect);
    virtual ControlRect GetRect() const;
    virtual void Show(bool show);
    virtual void SetState(int32_t state);
    virtual bool HitTest(int32_t x, int32_t y) const;
    // Ignored while hidden or disabled. A child holding the mouse keeps every
    // move while the point is inside it or this control is pressed; otherwise
    // the control handles the move and, unless pressed, passes it to all its
    // children, the last one under the point taking hold of the mouse.
    virtual void MouseMove(int32_t x, int32_t y);
    // An enabled control becomes pressed when the point is inside it, and hands
    // the press to the child holding the mouse, else to its own handler.
    virtual void LButtonDown(int32_t x, int32_t y);
    // An enabled control is no longer pressed; the release goes where the press did.
    virtual void LButtonUp(int32_t x, int32_t y);
    // Handled by the control, then by its children.
    virtual void TimerTick(uint32_t timerId);

    void AddChild(std::unique_ptr<CControl> child);
    // Sets the mark of this control and of all its descendants to 0.
    void ClearMarks();

    uint32_t m_nId;
    ControlRect m_rect;
    bool m_bVisible = true;
    bool m_bEnabled = true;
    bool m_bHot = false;  // pressed inside and not released yet
    bool m_bIgnoreDoubleClick = false;
    int32_t m_nState = 0;
    int32_t m_nMark = 0;  // the control's own redraw bookkeeping; 0 after a reset
    CMessageInterface* m_pOwner;
    std::vector<std::unique_ptr<CControl>> m_children;
    CControl* m_pMouseChild = nullptr;  // the child holding the mouse (not owning)

protected:
    virtual void OnMouseMove(int32_t x, int32_t y);
    virtual void OnLButtonDown(int32_t x, int32_t y);
    virtual void OnLButtonUp(int32_t x, int32_t y);
    virtual void OnTimerTick(uint32_t timerId);
};
