#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/message_interface.h"
#include "base/relaxed.h"
#include "base/timer.h"
#include "ui/canvas.h"
#include "ui/control.h"

// The frameless, custom-drawn window base of the main window. On Windows it is
// a plain Win32 window run modally by DoModal (dlg_base_win.cpp): its client
// area is the whole window, it offers resize zones and dragging by any free
// point, cuts its four corner pixels, hosts four lists of custom controls that
// it draws, hit-tests and feeds mouse and timer events, and takes a dropped
// picture file as its skin. The control logic is portable (dlg_base.cpp); the
// Linux daemon has no window, so there the window operations do nothing
// (dlg_base_linux.cpp) and the shell calls OnInitDialog and DestroyWindow
// itself.
//
// Threads: everything runs on the window's thread, except the base timer's
// tick (the timer thread; it goes straight to the controls, so the control
// lists are filled in CreateControls and not changed after) and the three
// calls marked below.
class CDlgBase : public CTimer, public CMessageInterface {
public:
    static constexpr int kIconResource = 128;
    static constexpr uint32_t kScMinimize = 0xF020;
    static constexpr uint32_t kScMaximize = 0xF030;
    static constexpr uint32_t kScRestore = 0xF120;
    // The system controls: minimise and close buttons, and a control covering
    // the whole client area that shows only while the window is not maximised.
    static constexpr uint32_t kMinimizeId = 1000;
    static constexpr uint32_t kCloseId = 1002;
    static constexpr uint32_t kFrameId = 1003;
    // The notification code with which the system buttons act.
    static constexpr uint32_t kClickedCode = 2;
    static constexpr uint32_t kDefaultBackground = 0xEFE2BA;
    static constexpr int32_t kBorder = 3;

    CDlgBase();
    CDlgBase(const CDlgBase&) = delete;
    CDlgBase& operator=(const CDlgBase&) = delete;

    // Windows: creates the window, runs OnInitDialog, and dispatches its
    // messages until CloseWindow ends the loop; then DestroyWindow. Returns
    // once the window is gone.
    void DoModal();

    // Window initialisation: icons, title "Vardo", controls, hidden. The base
    // timer runs while the window is shown.
    virtual bool OnInitDialog();
    // Destroys the window. A derived window stops its own work first.
    virtual void DestroyWindow();
    // Ends the modal loop (a close request).
    void CloseWindow();
    void MinimizeWindow();
    // Restores a maximised window and returns 0, or maximises it and returns 1.
    int ToggleMaximize();

    // These three may be called from any thread.
    bool IsWindowVisible() const;
    void HideWindow();
    // Asks for a repaint; a hidden window has nothing to show, so it costs nothing.
    void InvalidateWindow();

    // Hides the window for good: not visible, a tool window without a taskbar
    // button, moved off-screen.
    void HideForGood();
    // Moves the hidden window off-screen again without activating it.
    void PlaceOffScreen();
    void SetWindowIcons();
    void SetWindowTitle(const wchar_t* title);
    // The platform's window handle (an HWND); null until the window exists.
    void* WindowHandle() const { return m_hWnd; }

    // Draws every visible control meeting the update rectangle, list by list:
    // static controls, system controls, controls, system buttons on top; each
    // control before its visible children.
    virtual void DrawControls(Canvas& canvas, const ControlRect& update);
    // Clears the marks of every control and repaints the whole window.
    virtual void ResetControls();
    // These change a control, have it redrawn, and refresh the hover state.
    // The ById forms look in m_controls, then m_staticControls; they do nothing
    // and return null for an id no control has.
    virtual CControl* MoveControl(CControl* control, const ControlRect& rect);
    virtual CControl* MoveControlById(uint32_t id, const ControlRect& rect);
    virtual CControl* ShowControl(CControl* control, bool show);
    virtual CControl* ShowControlById(uint32_t id, bool show);
    virtual CControl* SetControlState(CControl* control, int32_t state);
    virtual CControl* SetControlStateById(uint32_t id, int32_t state);

    // Hooks of the derived window: once at initialisation, after every size
    // change, and every notification that is not a system button's.
    virtual void CreateControls(const ControlRect& client) = 0;
    virtual void LayoutControls(const ControlRect& client) = 0;
    virtual int OnControlNotify(uint32_t controlId, uint32_t code, uint32_t param1, uint32_t param2) = 0;
    // Places the system buttons at the top right and the frame control over
    // the whole client area; other ids keep their place.
    virtual void LayoutSysButtons(const ControlRect& client);
    // A system command with its low four bits cleared; true when handled,
    // false for the default handling.
    virtual bool OnSysCommand(uint32_t command);
    // Paints the client area into an off-screen canvas: the background colour,
    // the skin, the controls. Called only while the window is visible, or when
    // someone asks for a print of it.
    virtual void OnPaint(Canvas& canvas, const ControlRect& client, const ControlRect& update);

    int OnNotify(uint32_t controlId, uint32_t code, uint32_t param1, uint32_t param2) override;
    // Redraws rect, and with it every visible control drawn after the given one
    // that meets it.
    int OnRedrawRegion(const ControlRect& rect, bool erase, void* control) override;
    // The base timer's tick, on the timer thread: to the system buttons, then
    // to the controls.
    void OnTimerTick(uint32_t timerId) override;

protected:
    ~CDlgBase();

    using ControlList = std::vector<std::unique_ptr<CControl>>;

    ControlList m_controls;        // hit-tested; found by id first
    ControlList m_staticControls;  // drawn first; found by id second
    ControlList m_sysButtons;      // hit-tested before m_controls; drawn on top
    ControlList m_sysControls;     // drawn second

    Relaxed<void*> m_hWnd{nullptr};  // set and cleared on the window's thread
    void* m_hIcon = nullptr;         // icon resource 128
    uint32_t m_nBackgroundColour = kDefaultBackground;  // 0x00BBGGRR
    bool m_bResizable = false;  // set by a derived constructor: sizing frame and resize zones
    int32_t m_nMinWidth = 10;
    int32_t m_nMinHeight = 10;
    int32_t m_nBorderWidth = kBorder;  // resize zones; 0 while maximised
    int32_t m_nBorderHeight = kBorder;
    bool m_bHasSkin = false;
    int32_t m_nSkinWidth = 10;
    int32_t m_nSkinHeight = 10;
    int32_t m_nFadeWidth = 100;
    int32_t m_nFadeHeight = 100;
    // Both written on the window's thread (initialisation; the base timer while
    // the window is shown), read by the timer thread.
    Relaxed<uint32_t> m_nBaseTimerId{0};
    Relaxed<bool> m_bInitialised{false};

private:
    struct Window;  // the platform's window procedure
    struct Skin;    // the composed skin picture
    struct SkinDeleter {
        void operator()(Skin* skin) const;
    };
    enum class Press { Taken, Default, MoveWindow };

    CControl* FindSysControl(uint32_t id) const;
    CControl* FindControl(uint32_t id) const;
    void RefreshHover();
    // The mouse logic; the platform's message handling calls these.
    void HandleMouseMove(int32_t x, int32_t y);
    Press HandleLButtonDown(int32_t x, int32_t y);
    void HandleLButtonUp(int32_t x, int32_t y);
    Press HandleDoubleClick(int32_t x, int32_t y);
    void HandleMouseLeave();
    void HandleActivation(bool active);

    // Platform primitives behind the portable logic.
    bool TrackMouse();
    void CaptureMouse();
    void ReleaseMouse();
    bool CursorInClient(int32_t& x, int32_t& y) const;
    void InvalidateClient(const ControlRect* rect, bool erase);
    void DrawSkin(Canvas& canvas);

    bool m_bActive = false;
    bool m_bTracking = false;    // a leave/hover tracking request is active
    bool m_bCaptured = false;    // the window holds the mouse capture
    bool m_bButtonDown = false;  // the left button went down on a control
    bool m_bDoubleClick = false;
    CControl* m_pHotControl = nullptr;      // under the mouse (not owning)
    CControl* m_pPressedControl = nullptr;  // took the last press (not owning)
    std::unique_ptr<Skin, SkinDeleter> m_skin;
    bool m_bEndModal = false;
};
