#pragma once

#include "app/message_interface.h"

// The window base of the main window. The Linux daemon has no window at all,
// so the window operations the shell calls do nothing there.
class CDlgBase : public CMessageInterface {
public:
    bool IsWindowVisible() const;
    void HideWindow();
    void InvalidateWindow();

protected:
    ~CDlgBase() = default;
};
