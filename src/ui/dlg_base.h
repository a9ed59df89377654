#pragma once

#include <cstdint>

#include "base/message_interface.h"
#include "base/relaxed.h"
#include "base/timer.h"

// The window base of the main window. On Windows it is a plain Win32 window
// that the application runs modally (dlg_base_win.cpp); the Linux daemon has
// no window at all, so there the window operations do nothing
// (dlg_base_linux.cpp) and the shell calls OnInitDialog and DestroyWindow
// itself.
class CDlgBase : public CTimer, public CMessageInterface {
public:
    static constexpr int kIconResource = 128;
    static constexpr uint32_t kScMinimize = 0xF020;
    static constexpr uint32_t kScMaximize = 0xF030;
    static constexpr uint32_t kScRestore = 0xF120;

    CDlgBase();
    CDlgBase(const CDlgBase&) = delete;
    CDlgBase& operator=(const CDlgBase&) = delete;

    // Windows: creates the window, runs OnInitDialog, and dispatches its
    // messages until CloseWindow ends the loop; then DestroyWindow. Returns
    // once the window is gone.
    void DoModal();

    // Window initialisation: icons, title, controls, hidden, the base timer.
    virtual bool OnInitDialog();
    // Destroys the window. A derived window stops its own work first.
    virtual void DestroyWindow();
    // Ends the modal loop (a close request).
    void CloseWindow();

    // These three may be called from any thread.
    bool IsWindowVisible() const;
    void HideWindow();
    void InvalidateWindow();

    // Hides the window for good: not visible, a tool window without a taskbar
    // button, moved off-screen.
    void HideForGood();
    // Moves the hidden window off-screen again without activating it.
    void PlaceOffScreen();
    void SetWindowIcons();
    void SetWindowTitle(const wchar_t* title);

    // The base timer's tick, on the platform's timer thread.
    void OnTimerTick(uint32_t timerId) override;

    // Hooks of the derived window.
    virtual void CreateControls(const ControlRect& client) = 0;
    virtual void LayoutControls(const ControlRect& client) = 0;
    virtual int OnControlNotify(uint32_t controlId, uint32_t code, uint32_t param1, uint32_t param2) = 0;
    // A system command with its low four bits cleared; true when handled,
    // false for the default handling.
    virtual bool OnSysCommand(uint32_t command);

protected:
    ~CDlgBase();

    void* m_hWnd = nullptr;   // the window handle; none on Linux
    void* m_hIcon = nullptr;  // icon resource 128
    Relaxed<uint32_t> m_nBaseTimerId{0};
    bool m_bInitialised = false;

private:
    struct Window;  // the platform's window procedure

    bool m_bEndModal = false;
};
